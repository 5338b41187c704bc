/*
 * fm_switch.h - SDK start, switches, events and the platform's switch list.
 * C and C++.
 */
#ifndef FM_SWITCH_H
#define FM_SWITCH_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FM_MAX_NUM_SWITCHES 8

/* Event types that the SDK reports to the event callback. */
#define FM_EVENT_SWITCH_INSERTED 0x2
#define FM_EVENT_PORT 0x80
#define FM_EVENT_LOGICAL_PORT 0x100000

/* Link states of a port event. */
typedef enum {
    FM_PORT_STATUS_LINK_DOWN = 0,
    FM_PORT_STATUS_LINK_UP = 1,
    FM_PORT_STATUS_AUTONEG_STARTED = 2,
    FM_PORT_STATUS_AUTONEG_COMPLETE = 3,
    FM_PORT_STATUS_AUTONEG_FAILED = 4,
    FM_PORT_STATUS_DFE_COMPLETE = 5,
    FM_PORT_STATUS_DFE_TIMEOUT = 6,
    FM_PORT_STATUS_DFE_FAILED = 7,
    FM_PORT_STATUS_DFE_PROGRESS = 8
} fm_portLinkStatus;

/* Payload of FM_EVENT_PORT. */
typedef struct _fm_eventPort {
    fm_uint port;
    fm_int mac;
    fm_int lane;
    fm_portLinkStatus linkStatus;
    fm_bool activeMac;
} fm_eventPort;

/* Payload of FM_EVENT_LOGICAL_PORT. */
typedef struct _fm_eventLogicalPort {
    fm_int firstPort;
    fm_int numberOfPorts;
    fm_int pepId;
    fm_int pepLogicalPort;
    fm_bool portCreated;
} fm_eventLogicalPort;

typedef void (*fm_eventHandler)(fm_int event, fm_int sw, void *ptr);

/* What a switch reports of itself. */
typedef struct _fm_switchInfo {
    fm_int switchNumber;
    fm_int switchFamily;
    fm_int numCardPorts;
    fm_int numPorts;
    fm_int maxVLAN;
    fm_int maxPhysicalPort;
    fm_bool up;
    fm_int ebiClock;   /* MHz */
    fm_int fhRefClock; /* MHz */
    fm_uint32 version;
    fm_uint32 partNumber;
    fm_uint32 jtagId;
    fm_int switchModel;
    fm_int switchVersion;
    fm_int maxPortMirrors;
    fm_int maxTrigs;
    fm_int maxLags;
    fm_int maxPortsPerLag;
    fm_int maxVlanCounters;
    fm_int memorySize; /* bytes of frame memory */
    fm_int availableMemorySize;
    fm_int packageType;
} fm_switchInfo;

fm_status fmOSInitialize(void);
fm_status fmInitialize(fm_eventHandler handler);
fm_status fmPlatformGetNumSwitches(fm_int *numSwitches);
fm_status fmSetSwitchState(fm_int sw, fm_bool state);
fm_status fmGetSwitchInfo(fm_int sw, fm_switchInfo *info);
fm_status fmHandleSwitchRemoved(fm_int sw, fm_int flags);
fm_status fmPlatformIfindexSwitchGet(fm_int sw, fm_int *ifindex);

/* Switch attributes; the value's type is the attribute's. */
fm_status fmSetSwitchAttribute(fm_int sw, fm_int attr, void *value);
fm_status fmGetSwitchAttribute(fm_int sw, fm_int attr, void *value);

#ifdef __cplusplus
}
#endif

#endif /* FM_SWITCH_H */
