/*
 * fm_hash.h - L2 and L3 hash settings (switch attributes). C and C++.
 */
#ifndef FM_HASH_H
#define FM_HASH_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_HASH_H */
