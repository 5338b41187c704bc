/*
 * fm_counters.h - port counters. C and C++.
 */
#ifndef FM_COUNTERS_H
#define FM_COUNTERS_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_COUNTERS_H */
