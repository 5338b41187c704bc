/*
 * fm_acl.h - ACLs and their rules; port sets. C and C++.
 *
 * An ACL is a numbered list of rules. A rule matches frames by the condition
 * bits it sets (each bit enables members of its fm_aclValue) and acts on them
 * by its action bits (each reads members of its fm_aclParamExt). Changes to
 * any ACL of a switch take effect only after fmCompileACL and fmApplyACL.
 */
#ifndef FM_ACL_H
#define FM_ACL_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Condition bits of a rule; the members of fm_aclValue each one enables. */
typedef fm_uint64 fm_aclCondition;

#define FM_ACL_MATCH_SRC_MAC ((fm_aclCondition)0x1)                    /* src, srcMask */
#define FM_ACL_MATCH_DST_MAC ((fm_aclCondition)0x2)                    /* dst, dstMask */
#define FM_ACL_MATCH_ETHERTYPE ((fm_aclCondition)0x4)                  /* ethType, ethTypeMask */
#define FM_ACL_MATCH_VLAN ((fm_aclCondition)0x10)                      /* vlanId, vlanIdMask */
#define FM_ACL_MATCH_SRC_IP ((fm_aclCondition)0x40)                    /* srcIp, srcIpMask */
#define FM_ACL_MATCH_DST_IP ((fm_aclCondition)0x80)                    /* dstIp, dstIpMask */
#define FM_ACL_MATCH_PROTOCOL ((fm_aclCondition)0x200)                 /* protocol, protocolMask */
#define FM_ACL_MATCH_L4_SRC_PORT ((fm_aclCondition)0x2000)             /* L4SrcStart, L4SrcEnd */
#define FM_ACL_MATCH_L4_DST_PORT ((fm_aclCondition)0x4000)             /* L4DstStart, L4DstEnd */
#define FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK ((fm_aclCondition)0x100000) /* L4SrcStart, L4SrcMask */
#define FM_ACL_MATCH_L4_DST_PORT_WITH_MASK ((fm_aclCondition)0x200000) /* L4DstStart, L4DstMask */
#define FM_ACL_MATCH_NON_IP_PAYLOAD ((fm_aclCondition)0x400000)        /* nonIPPayload(Mask) */
#define FM_ACL_MATCH_INGRESS_PORT_SET ((fm_aclCondition)0x10000000)    /* portSet */
#define FM_ACL_MATCH_VLAN_TAG_TYPE ((fm_aclCondition)0x20000000)       /* vlanTag */
#define FM_ACL_MATCH_SRC_GLORT ((fm_aclCondition)0x200000000000ULL)    /* srcGlort, srcGlortMask */

/* Action bits of a rule; the members of fm_aclParamExt each one reads. */
typedef fm_uint64 fm_aclActionExt;

#define FM_ACL_ACTIONEXT_PERMIT ((fm_aclActionExt)0x1)
#define FM_ACL_ACTIONEXT_DENY ((fm_aclActionExt)0x2)
#define FM_ACL_ACTIONEXT_COUNT ((fm_aclActionExt)0x20)                /* frame counter */
#define FM_ACL_ACTIONEXT_SET_VLAN ((fm_aclActionExt)0x100)            /* vlan */
#define FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY ((fm_aclActionExt)0x200)   /* vlanPriority */
#define FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY ((fm_aclActionExt)0x400) /* switchPriority */
#define FM_ACL_ACTIONEXT_SET_USER ((fm_aclActionExt)0x1000)           /* user, userMask */
#define FM_ACL_ACTIONEXT_LOAD_BALANCE ((fm_aclActionExt)0x2000)       /* lbgNumber */
#define FM_ACL_ACTIONEXT_REDIRECT ((fm_aclActionExt)0x8000)           /* logicalPort */
#define FM_ACL_ACTIONEXT_MIRROR_GRP ((fm_aclActionExt)0x100000)       /* mirrorGrp */

/* VLAN tag types a rule can match. */
typedef enum {
    FM_ACL_VLAN_TAG_TYPE_NONE = 0,
    FM_ACL_VLAN_TAG_TYPE_STANDARD,
    FM_ACL_VLAN_TAG_TYPE_USER_A,
    FM_ACL_VLAN_TAG_TYPE_USER_B,
    FM_ACL_VLAN_TAG_TYPE_VLAN1,
    FM_ACL_VLAN_TAG_TYPE_VLAN2,
    FM_ACL_VLAN_TAG_TYPE_ONLY_VLAN1,
    FM_ACL_VLAN_TAG_TYPE_ONLY_VLAN2,
    FM_ACL_VLAN_TAG_TYPE_VLAN1_VLAN2,
    FM_ACL_VLAN_TAG_TYPE_VLAN2_UNTAG
} fm_aclVlanTagType;

/* An IPv4 address (addr[0]) or an IPv6 address (addr[0] the low word). */
typedef struct _fm_ipAddr {
    fm_uint32 addr[4];
    fm_bool isIPv6;
} fm_ipAddr;

#define FM_MAX_ACL_NON_IP_PAYLOAD_BYTES 32

/* Match values and masks of a rule; only the members its conditions enable count. */
typedef struct _fm_aclValue {
    fm_macaddr src;
    fm_macaddr srcMask;
    fm_macaddr dst;
    fm_macaddr dstMask;
    fm_uint16 ethType;
    fm_uint16 ethTypeMask;
    fm_uint16 vlanId;
    fm_uint16 vlanIdMask;
    fm_ipAddr srcIp;
    fm_ipAddr srcIpMask;
    fm_ipAddr dstIp;
    fm_ipAddr dstIpMask;
    fm_byte protocol;
    fm_byte protocolMask;
    fm_uint16 L4SrcStart;
    fm_uint16 L4SrcEnd;
    fm_uint16 L4SrcMask;
    fm_uint16 L4DstStart;
    fm_uint16 L4DstEnd;
    fm_uint16 L4DstMask;
    fm_byte nonIPPayload[FM_MAX_ACL_NON_IP_PAYLOAD_BYTES];
    fm_byte nonIPPayloadMask[FM_MAX_ACL_NON_IP_PAYLOAD_BYTES];
    fm_int portSet;
    fm_aclVlanTagType vlanTag;
    fm_uint16 srcGlort;
    fm_uint16 srcGlortMask;
} fm_aclValue;

/* Parameters of a rule's actions. */
typedef struct _fm_aclParamExt {
    fm_int logicalPort;
    fm_int lbgNumber;
    fm_int mirrorGrp;
    fm_uint16 vlan;
    fm_byte vlanPriority;
    fm_byte switchPriority;
    fm_byte user;
    fm_byte userMask;
} fm_aclParamExt;

/* What fmGetACL reports of an ACL. */
typedef struct _fm_aclArguments {
    fm_uint32 scenarios;
    fm_int precedence;
} fm_aclArguments;

/* Compile flags and apply flags. */
#define FM_ACL_COMPILE_FLAG_NON_DISRUPTIVE 0x40
#define FM_ACL_APPLY_FLAG_NON_DISRUPTIVE 0x1

/* Fails with FM_ERR_INVALID_ACL when the ACL does not exist. */
fm_status fmGetACL(fm_int sw, fm_int acl, fm_aclArguments *args);
/* Creates an empty ACL; FM_ERR_ALREADY_EXISTS when the number is taken. */
fm_status fmCreateACLExt(fm_int sw, fm_int acl, fm_uint32 scenarios, fm_int precedence);
/* Adds a rule; a rule number the ACL already holds is refused. */
fm_status fmAddACLRuleExt(fm_int sw, fm_int acl, fm_int rule, fm_aclCondition cond,
                          const fm_aclValue *value, fm_aclActionExt action,
                          const fm_aclParamExt *param);
fm_status fmDeleteACLRule(fm_int sw, fm_int acl, fm_int rule);
/* Compiles every ACL of the switch; a text of the outcome goes to
 * statusText (at most statusTextLength bytes, terminated). */
fm_status fmCompileACL(fm_int sw, fm_char *statusText, fm_int statusTextLength, fm_uint32 flags);
/* Puts the last compiled ACLs into force. */
fm_status fmApplyACL(fm_int sw, fm_uint32 flags);
/* Frames a counting rule has matched. */
fm_status fmGetACLCount(fm_int sw, fm_int acl, fm_int rule, fm_uint64 *frameCount);

/* Port sets: numbered sets of logical ports that rules match on. */
fm_status fmCreatePortSet(fm_int sw, fm_int *portSet);
fm_status fmDeletePortSet(fm_int sw, fm_int portSet);
fm_status fmAddPortSetPort(fm_int sw, fm_int portSet, fm_int port);
/* The lowest port of the set; FM_ERR_NO_MORE (and -1) when it is empty. */
fm_status fmGetPortSetPortFirst(fm_int sw, fm_int portSet, fm_int *port);

#ifdef __cplusplus
}
#endif

#endif /* FM_ACL_H */
