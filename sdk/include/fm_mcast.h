/*
 * fm_mcast.h - multicast groups. C and C++.
 */
#ifndef FM_MCAST_H
#define FM_MCAST_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_MCAST_H */
