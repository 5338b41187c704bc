/*
 * fm_sdk.h - the switch SDK as the daemon sees it. Include this one header.
 */
#ifndef FM_SDK_H
#define FM_SDK_H

#include "fm_types.h"
#include "fm_bitarray.h"
#include "fm_switch.h"
#include "fm_port.h"

#endif /* FM_SDK_H */
