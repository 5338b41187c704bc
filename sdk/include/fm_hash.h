/*
 * fm_hash.h - the L2 and L3/L4 hash settings of a switch. C and C++.
 *
 * Both are switch attributes (fmGetSwitchAttribute, fmSetSwitchAttribute)
 * whose value is the record below. The switch keeps one setting per hash
 * profile; profileIndex in the record names the profile that a read or a
 * write addresses.
 */
#ifndef FM_HASH_H
#define FM_HASH_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Switch attributes. */
#define FM_L2_HASH_KEY 1184    /* fm_L2HashKey */
#define FM_L3_HASH_CONFIG 1185 /* fm_L3HashConfig */

/* Hash profiles are numbered 0 .. FM_HASH_PROFILES - 1. */
#define FM_HASH_PROFILES 16

/* Which L2 fields enter the L2 hash: a mask per field. */
typedef struct _fm_L2HashKey {
    fm_macaddr SMACMask;     /* 48 bits */
    fm_macaddr DMACMask;     /* 48 bits */
    fm_uint32 etherTypeMask; /* 16 bits */
    fm_uint32 vlanId1Mask;   /* 12 bits */
    fm_uint32 vlanPri1Mask;  /* 4 bits */
    fm_uint32 vlanId2Mask;   /* 12 bits */
    fm_uint32 vlanPri2Mask;  /* 4 bits */
    fm_bool symmetrizeMAC;
    fm_bool useL3Hash;
    fm_bool useL2ifIP;
    fm_int defaultHashRot;
    fm_bool useCompatibleMode;
    fm_int profileIndex;
} fm_L2HashKey;

/* Which L3/L4 fields enter the L3 hash, and how. */
typedef struct _fm_L3HashConfig {
    fm_uint32 SIPMask;
    fm_uint32 DIPMask;
    fm_uint32 L4SrcMask;
    fm_uint32 L4DstMask;
    fm_uint32 DSCPMask;
    fm_uint32 ISLUserMask;
    fm_uint32 protocolMask;
    fm_uint32 flowMask;
    fm_bool symmetrizeL3Fields;
    fm_bool symmetrizeL4Fields;
    fm_int ECMPRotation;
    fm_uint32 protocol1;
    fm_uint32 protocol2;
    fm_bool useProtocol1;
    fm_bool useProtocol2;
    fm_bool useTCP;
    fm_bool useUDP;
    fm_bool usePTable;
    fm_uint32 customFieldMask;
    fm_bool randomNextHop;
    fm_bool randomOther;
    fm_bool disableAllButRandom;
    fm_int profileIndex;
} fm_L3HashConfig;

#ifdef __cplusplus
}
#endif

#endif /* FM_HASH_H */
