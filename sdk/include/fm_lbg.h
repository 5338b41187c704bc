/*
 * fm_lbg.h - load-balancing groups. C and C++.
 */
#ifndef FM_LBG_H
#define FM_LBG_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_LBG_H */
