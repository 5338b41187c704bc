/*
 * fm_mcast.h - multicast groups and their listeners. C and C++.
 *
 * A group replicates a frame to its listeners, each a port on a VLAN. The
 * switch gives each group a logical port through which frames reach it.
 */
#ifndef FM_MCAST_H
#define FM_MCAST_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A switch holds at most this many groups, numbered from 0. */
#define FM_MAX_MCAST_GROUPS 1024

typedef struct _fm_multicastListener {
    fm_uint16 vlan;
    fm_int port;
    fm_bool floodListener;
    fm_int xcastGlort;
    fm_bool remoteFlag;
} fm_multicastListener;

/* Group attributes, fm_bool each; they can be changed only while the group is inactive. */
#define FM_MCASTGROUP_L2_SWITCHING_ONLY 1
#define FM_MCASTGROUP_L3_SWITCHING_ONLY 2

/* Creates an inactive group; the SDK chooses its number. */
fm_status fmCreateMcastGroup(fm_int sw, fm_int *mcastGroup);
/* Refused with FM_ERR_MCAST_GROUP_ACTIVE while the group is active. */
fm_status fmDeleteMcastGroup(fm_int sw, fm_int mcastGroup);
fm_status fmActivateMcastGroup(fm_int sw, fm_int mcastGroup);
fm_status fmDeactivateMcastGroup(fm_int sw, fm_int mcastGroup);
fm_status fmSetMcastGroupAttribute(fm_int sw, fm_int mcastGroup, fm_int attr, void *value);
fm_status fmGetMcastGroupAttribute(fm_int sw, fm_int mcastGroup, fm_int attr, void *value);
fm_status fmGetMcastGroupPort(fm_int sw, fm_int mcastGroup, fm_int *port);
fm_status fmAddMcastGroupListener(fm_int sw, fm_int mcastGroup, fm_multicastListener *listener);
fm_status fmDeleteMcastGroupListener(fm_int sw, fm_int mcastGroup, fm_multicastListener *listener);

#ifdef __cplusplus
}
#endif

#endif /* FM_MCAST_H */
