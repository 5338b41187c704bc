/*
 * fm_switch_attr.h - switch-wide attributes (fmSetSwitchAttribute) for traps
 * and reserved multicast addresses, and the switch's QoS settings. C and C++.
 */
#ifndef FM_SWITCH_ATTR_H
#define FM_SWITCH_ATTR_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Switch attributes. The value's type is given beside each. */
#define FM_TRAP_IEEE_BPDU 60          /* fm_bool: trap spanning-tree BPDUs to the CPU */
#define FM_TRAP_IEEE_GARP 61          /* fm_bool: trap GARP frames to the CPU */
#define FM_SWITCH_RESERVED_MAC_CFG 62 /* fm_reservedMacCfg, index chosen by the caller */

/* What the switch does with frames to the reserved address
 * 01-80-C2-00-00-<index>. */
typedef enum {
    FM_RES_MAC_ACTION_SWITCH = 0,
    FM_RES_MAC_ACTION_TRAP = 1,
    FM_RES_MAC_ACTION_DROP = 2,
    FM_RES_MAC_ACTION_LOG = 3
} fm_resMacAction;

/* Index 0x00 .. 0x3F of the reserved address range. */
#define FM_RES_MAC_INDEX_MAX 0x3F

typedef struct _fm_reservedMacCfg {
    fm_int index;
    fm_resMacAction action;
    /* Trapped frames take the trap priority instead of their own. */
    fm_bool useTrapPri;
} fm_reservedMacCfg;

/* QoS attributes of fmSetSwitchQOS. */
#define FM_AUTO_PAUSE_MODE 1 /* fm_bool: pause frames sent when a receive queue fills */

fm_status fmSetSwitchQOS(fm_int sw, fm_int attr, fm_int index, void *value);
fm_status fmGetSwitchQOS(fm_int sw, fm_int attr, fm_int index, void *value);

#ifdef __cplusplus
}
#endif

#endif /* FM_SWITCH_ATTR_H */
