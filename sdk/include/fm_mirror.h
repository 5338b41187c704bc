/*
 * fm_mirror.h - mirrors. C and C++.
 *
 * A mirror group copies the frames of its monitored ports to one mirror
 * port. Rules can also send frames to a mirror once FM_MIRROR_ACL is set.
 */
#ifndef FM_MIRROR_H
#define FM_MIRROR_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mirror group numbers run from 0 to FM_MAX_MIRRORS - 1. */
#define FM_MAX_MIRRORS 64

/* Which frames of a monitored port are copied. */
typedef enum {
    FM_MIRROR_TYPE_INGRESS = 0,
    FM_MIRROR_TYPE_EGRESS = 1,
    FM_MIRROR_TYPE_BIDIRECTIONAL = 2,
    FM_MIRROR_TYPE_REDIRECT = 3
} fm_mirrorType;

/* Mirror attributes. The value's type is given beside each. */
#define FM_MIRROR_VLAN 1 /* fm_int: VLAN of the copies, 1..4095; -1 keeps the frame's */
#define FM_MIRROR_ACL 2  /* fm_bool: rules may send frames to this mirror */

fm_status fmCreateMirror(fm_int sw, fm_int grpId, fm_int mirrorPort, fm_mirrorType mirrorType);
fm_status fmDeleteMirror(fm_int sw, fm_int grpId);
fm_status fmAddMirrorPort(fm_int sw, fm_int grpId, fm_int port);
fm_status fmDeleteMirrorPort(fm_int sw, fm_int grpId, fm_int port);
fm_status fmSetMirrorAttribute(fm_int sw, fm_int grpId, fm_int attr, void *value);
fm_status fmGetMirrorAttribute(fm_int sw, fm_int grpId, fm_int attr, void *value);

/* The mirror groups of a switch in ascending order; FM_ERR_NO_MORE past the last. */
fm_status fmGetMirrorFirst(fm_int sw, fm_int *firstGrpId, fm_int *mirrorPort,
                           fm_mirrorType *mirrorType);
fm_status fmGetMirrorNext(fm_int sw, fm_int currentGrpId, fm_int *nextGrpId, fm_int *mirrorPort,
                          fm_mirrorType *mirrorType);
fm_status fmGetMirror(fm_int sw, fm_int grpId, fm_int *mirrorPort, fm_mirrorType *mirrorType);

/* The monitored ports of a group in ascending order; FM_ERR_NO_MORE past the last. */
fm_status fmGetMirrorPortFirst(fm_int sw, fm_int grpId, fm_int *firstPort);
fm_status fmGetMirrorPortNext(fm_int sw, fm_int grpId, fm_int currentPort, fm_int *nextPort);

#ifdef __cplusplus
}
#endif

#endif /* FM_MIRROR_H */
