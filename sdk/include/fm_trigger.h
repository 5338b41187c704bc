/*
 * fm_trigger.h - triggers. C and C++.
 *
 * A trigger is named by a group and a rule number; it holds a condition
 * (what frames it matches) and an action (what it does to them).
 */
#ifndef FM_TRIGGER_H
#define FM_TRIGGER_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The port set that holds every port of the switch. */
#define FM_PORT_SET_ALL (-2)

/* Frame classes and routing of a condition (bit masks). */
#define FM_TRIGGER_FRAME_CLASS_UCAST 0x1
#define FM_TRIGGER_FRAME_CLASS_BCAST 0x2
#define FM_TRIGGER_FRAME_CLASS_MCAST 0x4
#define FM_TRIGGER_FRAME_CLASS_ALL 0x7
#define FM_TRIGGER_SWITCHED_FRAMES 0x1
#define FM_TRIGGER_ROUTED_FRAMES 0x2
#define FM_TRIGGER_ROUTED_ALL 0x3

typedef struct _fm_triggerConditionCfg {
    /* Bit i set: frames whose handler action is i match. */
    fm_uint64 HAMask;
    /* Port sets of the receiving and the transmitting port. */
    fm_int rxPortset;
    fm_int txPortset;
    fm_uint32 matchFrameClassMask;
    fm_uint32 matchRoutedMask;
    /* Non-zero: the frame's VLAN must equal param.vid. */
    fm_bool matchVlan;
} fm_triggerConditionCfg;

typedef struct _fm_triggerConditionParam {
    fm_uint16 vid;
} fm_triggerConditionParam;

typedef struct _fm_triggerCondition {
    fm_triggerConditionCfg cfg;
    fm_triggerConditionParam param;
} fm_triggerCondition;

/* Forwarding actions. */
typedef enum {
    FM_TRIGGER_FORWARDING_ACTION_ASIS = 0,
    FM_TRIGGER_FORWARDING_ACTION_FORWARD = 1,
    FM_TRIGGER_FORWARDING_ACTION_REDIRECT = 2,
    FM_TRIGGER_FORWARDING_ACTION_DROP = 3
} fm_triggerForwardingAction;

/* Trap actions. */
typedef enum {
    FM_TRIGGER_TRAP_ACTION_ASIS = 0,
    FM_TRIGGER_TRAP_ACTION_TRAP = 1,
    FM_TRIGGER_TRAP_ACTION_LOG = 2,
    FM_TRIGGER_TRAP_ACTION_DONOT_TRAP_OR_LOG = 3
} fm_triggerTrapAction;

typedef struct _fm_triggerActionCfg {
    fm_triggerForwardingAction forwardingAction;
    fm_triggerTrapAction trapAction;
    fm_bool mirrorAction;
    fm_bool switchPriAction;
} fm_triggerActionCfg;

typedef struct _fm_triggerActionParam {
    fm_int newDestPort;     /* FORWARDING_ACTION_REDIRECT */
    fm_int dropPortset;     /* FORWARDING_ACTION_DROP */
    fm_int mirrorSelect;    /* mirrorAction */
    fm_uint32 newSwitchPri; /* switchPriAction */
} fm_triggerActionParam;

typedef struct _fm_triggerAction {
    fm_triggerActionCfg cfg;
    fm_triggerActionParam param;
} fm_triggerAction;

fm_status fmCreateTrigger(fm_int sw, fm_int group, fm_int rule);
fm_status fmDeleteTrigger(fm_int sw, fm_int group, fm_int rule);
/* Fill a condition or action with the values that match every frame and
 * change nothing; callers then set what they need. */
fm_status fmInitTriggerCondition(fm_int sw, fm_triggerCondition *cond);
fm_status fmInitTriggerAction(fm_int sw, fm_triggerAction *action);
fm_status fmSetTriggerCondition(fm_int sw, fm_int group, fm_int rule,
                                const fm_triggerCondition *cond);
fm_status fmGetTriggerCondition(fm_int sw, fm_int group, fm_int rule, fm_triggerCondition *cond);
fm_status fmSetTriggerAction(fm_int sw, fm_int group, fm_int rule, const fm_triggerAction *action);
fm_status fmGetTriggerAction(fm_int sw, fm_int group, fm_int rule, fm_triggerAction *action);

#ifdef __cplusplus
}
#endif

#endif /* FM_TRIGGER_H */
