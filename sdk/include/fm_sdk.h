/*
 * fm_sdk.h - the switch SDK as the daemon sees it. Include this one header.
 */
#ifndef FM_SDK_H
#define FM_SDK_H

#include "fm_acl.h"
#include "fm_bitarray.h"
#include "fm_counters.h"
#include "fm_diag.h"
#include "fm_hash.h"
#include "fm_lbg.h"
#include "fm_mcast.h"
#include "fm_mirror.h"
#include "fm_os.h"
#include "fm_platform.h"
#include "fm_port.h"
#include "fm_switch.h"
#include "fm_switch_attr.h"
#include "fm_trigger.h"
#include "fm_types.h"
#include "fm_vlan.h"

#endif /* FM_SDK_H */
