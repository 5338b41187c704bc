/*
 * fm_bitarray.h - bit arrays, the SDK's port sets and masks. C and C++.
 */
#ifndef FM_BITARRAY_H
#define FM_BITARRAY_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits 0 .. bitCount-1, stored in 32-bit words that the SDK allocates. */
typedef struct _fm_bitArray {
    fm_int bitCount;
    fm_int wordCount;
    fm_uint32 *bitArrayData;
} fm_bitArray;

fm_status fmCreateBitArray(fm_bitArray *bitArray, fm_int bitCount);
fm_status fmDeleteBitArray(fm_bitArray *bitArray);
/* A bit number outside 0 .. bitCount-1 is refused and nothing is written. */
fm_status fmSetBitArrayBit(fm_bitArray *bitArray, fm_int bitNumber, fm_bool bitValue);
fm_status fmGetBitArrayBit(fm_bitArray *bitArray, fm_int bitNumber, fm_bool *bitValue);
fm_status fmClearBitArray(fm_bitArray *bitArray);

#ifdef __cplusplus
}
#endif

#endif /* FM_BITARRAY_H */
