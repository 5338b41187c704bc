/*
 * fm_vlan.h - VLANs and their member ports. C and C++.
 */
#ifndef FM_VLAN_H
#define FM_VLAN_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FM_MAX_VLAN 4095

/* Spanning-tree states of a VLAN member port. */
#define FM_STP_STATE_DISABLED 0
#define FM_STP_STATE_LISTENING 1
#define FM_STP_STATE_LEARNING 2
#define FM_STP_STATE_FORWARDING 3
#define FM_STP_STATE_BLOCKING 4

/* VLAN attributes. */
#define FM_VLAN_REFLECT 1 /* fm_bool */

fm_status fmCreateVlan(fm_int sw, fm_uint16 vlanID);
fm_status fmDeleteVlan(fm_int sw, fm_uint16 vlanID);
fm_status fmAddVlanPort(fm_int sw, fm_uint16 vlanID, fm_int port, fm_bool tag);
fm_status fmDeleteVlanPort(fm_int sw, fm_uint16 vlanID, fm_int port);
fm_status fmSetVlanPortState(fm_int sw, fm_uint16 vlanID, fm_int port, fm_int state);
fm_status fmGetVlanPortState(fm_int sw, fm_uint16 vlanID, fm_int port, fm_int *state);
fm_status fmSetVlanAttribute(fm_int sw, fm_uint16 vlanID, fm_int attr, void *value);
fm_status fmGetVlanAttribute(fm_int sw, fm_uint16 vlanID, fm_int attr, void *value);

#ifdef __cplusplus
}
#endif

#endif /* FM_VLAN_H */
