/*
 * fm_mirror.h - mirrors. C and C++.
 */
#ifndef FM_MIRROR_H
#define FM_MIRROR_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_MIRROR_H */
