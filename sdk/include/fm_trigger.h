/*
 * fm_trigger.h - triggers. C and C++.
 */
#ifndef FM_TRIGGER_H
#define FM_TRIGGER_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_TRIGGER_H */
