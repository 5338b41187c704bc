/*
 * fm_counters.h - port counters. C and C++.
 */
#ifndef FM_COUNTERS_H
#define FM_COUNTERS_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Layout version that fmGetPortCounters writes into cntVersion. */
#define FM_PORT_COUNTERS_VERSION 3

/* Switch priorities that have their own receive counters. */
#define FM_MAX_SWITCH_PRIORITIES 16

/*
 * One port's counters, as the switch keeps them. Members are grouped by
 * where the switch counts them, not in any wire order: callers copy them by
 * name.
 */
typedef struct _fm_portCounters {
    fm_uint32 cntVersion;
    /* Microseconds since the switch started, when the counters were read. */
    fm_uint64 cntTimestamp;

    /* Transmit MAC. */
    fm_uint64 cntTxUcstPkts;
    fm_uint64 cntTxBcstPkts;
    fm_uint64 cntTxMcstPkts;
    fm_uint64 cntTxPausePkts;
    fm_uint64 cntTxFCSErroredPkts;
    fm_uint64 cntTxErrorDropPkts;
    fm_uint64 cntTxTimeOutPkts;
    fm_uint64 cntTxLoopbackPkts;
    fm_uint64 cntTxMirrorPkts;
    fm_uint64 cntTxOctets;
    fm_uint64 cntTxErrorOctets;
    fm_uint64 cntTxMinTo63Pkts;
    fm_uint64 cntTx64Pkts;
    fm_uint64 cntTx65to127Pkts;
    fm_uint64 cntTx128to255Pkts;
    fm_uint64 cntTx256to511Pkts;
    fm_uint64 cntTx512to1023Pkts;
    fm_uint64 cntTx1024to1522Pkts;
    fm_uint64 cntTx1523to2047Pkts;
    fm_uint64 cntTx2048to4095Pkts;
    fm_uint64 cntTx4096to8191Pkts;
    fm_uint64 cntTx8192to10239Pkts;
    fm_uint64 cntTx10240toMaxPkts;

    /* Receive MAC: frame classes. */
    fm_uint64 cntRxUcstPkts;
    fm_uint64 cntRxBcstPkts;
    fm_uint64 cntRxMcstPkts;
    fm_uint64 cntRxUcstPktsNonIP;
    fm_uint64 cntRxBcstPktsNonIP;
    fm_uint64 cntRxMcstPktsNonIP;
    fm_uint64 cntRxUcstPktsIPv4;
    fm_uint64 cntRxBcstPktsIPv4;
    fm_uint64 cntRxMcstPktsIPv4;
    fm_uint64 cntRxUcstPktsIPv6;
    fm_uint64 cntRxBcstPktsIPv6;
    fm_uint64 cntRxMcstPktsIPv6;
    fm_uint64 cntRxPausePkts;
    fm_uint64 cntRxCBPausePkts;

    /* Receive MAC: errors. */
    fm_uint64 cntRxFCSErrors;
    fm_uint64 cntRxSymbolErrors;
    fm_uint64 cntRxCodeErrors;
    fm_uint64 cntRxFrameSizeErrors;
    fm_uint64 cntRxFragmentPkts;
    fm_uint64 cntRxUndersizedPkts;
    fm_uint64 cntRxJabberPkts;
    fm_uint64 cntRxOversizedPkts;

    /* Receive MAC: frame sizes. */
    fm_uint64 cntRxMinTo63Pkts;
    fm_uint64 cntRx64Pkts;
    fm_uint64 cntRx65to127Pkts;
    fm_uint64 cntRx128to255Pkts;
    fm_uint64 cntRx256to511Pkts;
    fm_uint64 cntRx512to1023Pkts;
    fm_uint64 cntRx1024to1522Pkts;
    fm_uint64 cntRx1523to2047Pkts;
    fm_uint64 cntRx2048to4095Pkts;
    fm_uint64 cntRx4096to8191Pkts;
    fm_uint64 cntRx8192to10239Pkts;
    fm_uint64 cntRx10240toMaxPkts;

    /* Receive MAC: octets. */
    fm_uint64 cntRxGoodOctets;
    fm_uint64 cntRxBadOctets;
    fm_uint64 cntRxOctetsNonIp;
    fm_uint64 cntRxOctetsIPv4;
    fm_uint64 cntRxOctetsIPv6;

    /* Received frames and octets per switch priority. */
    fm_uint64 cntRxPriorityPkts[FM_MAX_SWITCH_PRIORITIES];
    fm_uint64 cntRxPriorityOctets[FM_MAX_SWITCH_PRIORITIES];

    /* Forwarding decisions. */
    fm_uint64 cntFIDForwardedPkts;
    fm_uint64 cntFloodForwardedPkts;
    fm_uint64 cntSpeciallyHandledPkts;
    fm_uint64 cntTrappedPkts;
    fm_uint64 cntReservedTrapPkts;
    fm_uint64 cntTriggerDropRedirPkts;
    fm_uint64 cntTriggerDropPkts;
    fm_uint64 cntTriggerRedirPkts;
    fm_uint64 cntTriggerMirroredPkts;

    /* Frames dropped by the frame processor. */
    fm_uint64 cntParseErrDropPkts;
    fm_uint64 cntParityErrorPkts;
    fm_uint64 cntPauseDropPkts;
    fm_uint64 cntSTPDropPkts;
    fm_uint64 cntSecurityViolationPkts;
    fm_uint64 cntVLANTagDropPkts;
    fm_uint64 cntVLANIngressBVPkts;
    fm_uint64 cntVLANEgressBVPkts;
    fm_uint64 cntGlortMissDropPkts;
    fm_uint64 cntFFUDropPkts;
    fm_uint64 cntPolicerDropPkts;
    fm_uint64 cntTTLDropPkts;
    fm_uint64 cntBroadcastDropPkts;
    fm_uint64 cntDLFDropPkts;
    fm_uint64 cntBadSmpDropPkts;

    /* Frames dropped by the memory manager. */
    fm_uint64 cntCmPrivDropPkts;
    fm_uint64 cntSmp0DropPkts;
    fm_uint64 cntSmp1DropPkts;
    fm_uint64 cntRxHog0DropPkts;
    fm_uint64 cntRxHog1DropPkts;
    fm_uint64 cntTxHog0DropPkts;
    fm_uint64 cntTxHog1DropPkts;
    fm_uint64 cntRateLimit0DropPkts;
    fm_uint64 cntRateLimit1DropPkts;
    fm_uint64 cntRxCMDropPkts;
    fm_uint64 cntTxCMDropPkts;

    /* Frame handling faults. */
    fm_uint64 cntUnderrunPkts;
    fm_uint64 cntOverrunPkts;
    fm_uint64 cntCorruptedPkts;

    /* Counter updates the statistics engine could not keep up with. */
    fm_uint64 cntStatsDropCountTx;
    fm_uint64 cntStatsDropCountRx;
} fm_portCounters;

/* Reads every counter of a port; sets cntVersion and cntTimestamp. */
fm_status fmGetPortCounters(fm_int sw, fm_int port, fm_portCounters *counters);
/* Sets every counter of a port back to zero. */
fm_status fmResetPortCounters(fm_int sw, fm_int port);

#ifdef __cplusplus
}
#endif

#endif /* FM_COUNTERS_H */
