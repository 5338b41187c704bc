// statistics.cpp - port counters for the client, copied from the switch's
// counter record member by member.
#include "device/statistics.h"

#include <cstring>

#include "fm_sdk.h"

namespace {

// The reply's counters that carry the switch's member of the same name; the
// two priority counters are filled apart, from priority 0.
// clang-format off
#define KEL_SAME_NAME_COUNTERS(X) \
    X(cntRxUcstPkts) X(cntRxUcstPktsNonIP) X(cntRxUcstPktsIPv4) X(cntRxUcstPktsIPv6) \
    X(cntRxBcstPkts) X(cntRxBcstPktsNonIP) X(cntRxBcstPktsIPv4) X(cntRxBcstPktsIPv6) \
    X(cntRxMcstPkts) X(cntRxMcstPktsNonIP) X(cntRxMcstPktsIPv4) X(cntRxMcstPktsIPv6) \
    X(cntRxPausePkts) X(cntRxCBPausePkts) X(cntRxFCSErrors) X(cntRxSymbolErrors) \
    X(cntRxFrameSizeErrors) X(cntRxMinTo63Pkts) X(cntRx64Pkts) X(cntRx65to127Pkts) \
    X(cntRx128to255Pkts) X(cntRx256to511Pkts) X(cntRx512to1023Pkts) X(cntRx1024to1522Pkts) \
    X(cntRx1523to2047Pkts) X(cntRx2048to4095Pkts) X(cntRx4096to8191Pkts) X(cntRx8192to10239Pkts) \
    X(cntRx10240toMaxPkts) X(cntRxFragmentPkts) X(cntRxUndersizedPkts) X(cntRxJabberPkts) \
    X(cntRxOversizedPkts) X(cntRxGoodOctets) X(cntRxOctetsNonIp) X(cntRxOctetsIPv4) \
    X(cntRxOctetsIPv6) X(cntRxBadOctets) X(cntTxUcstPkts) X(cntTxBcstPkts) X(cntTxMcstPkts) \
    X(cntTxPausePkts) X(cntTxFCSErroredPkts) X(cntTxErrorDropPkts) X(cntTxTimeOutPkts) \
    X(cntTxLoopbackPkts) X(cntTxMinTo63Pkts) X(cntTx64Pkts) X(cntTx65to127Pkts) \
    X(cntTx128to255Pkts) X(cntTx256to511Pkts) X(cntTx512to1023Pkts) X(cntTx1024to1522Pkts) \
    X(cntTx1523to2047Pkts) X(cntTx2048to4095Pkts) X(cntTx4096to8191Pkts) X(cntTx8192to10239Pkts) \
    X(cntTx10240toMaxPkts) X(cntTxOctets) X(cntTxErrorOctets) X(cntTxCMDropPkts) \
    X(cntFIDForwardedPkts) X(cntFloodForwardedPkts) X(cntSpeciallyHandledPkts) \
    X(cntParseErrDropPkts) X(cntParityErrorPkts) X(cntTrappedPkts) X(cntPauseDropPkts) \
    X(cntSTPDropPkts) X(cntReservedTrapPkts) X(cntSecurityViolationPkts) X(cntVLANTagDropPkts) \
    X(cntVLANIngressBVPkts) X(cntVLANEgressBVPkts) X(cntGlortMissDropPkts) X(cntFFUDropPkts) \
    X(cntPolicerDropPkts) X(cntTTLDropPkts) X(cntCmPrivDropPkts) X(cntSmp0DropPkts) \
    X(cntSmp1DropPkts) X(cntRxHog0DropPkts) X(cntRxHog1DropPkts) X(cntTxHog0DropPkts) \
    X(cntTxHog1DropPkts) X(cntRateLimit0DropPkts) X(cntRateLimit1DropPkts) X(cntBadSmpDropPkts) \
    X(cntTriggerDropRedirPkts) X(cntTriggerDropPkts) X(cntTriggerRedirPkts) \
    X(cntTriggerMirroredPkts) X(cntBroadcastDropPkts) X(cntDLFDropPkts) X(cntRxCMDropPkts) \
    X(cntUnderrunPkts) X(cntOverrunPkts) X(cntCorruptedPkts) X(cntStatsDropCountTx) \
    X(cntStatsDropCountRx)
// clang-format on

#define KEL_COUNT_ONE(name) +1
static_assert(0 KEL_SAME_NAME_COUNTERS(KEL_COUNT_ONE) + 2 == sizeof(kelf_stat_cnt_t) / 8,
              "every reply counter but the two priority ones is copied by name");
#undef KEL_COUNT_ONE

static_assert(sizeof(kelf_prio_stat_cnt_t) / 8 == FM_MAX_SWITCH_PRIORITIES,
              "the priority reply holds one counter per switch priority");

void copy_counters(const fm_portCounters &c, kelf_stat_cnt_t &out) {
#define KEL_COPY_ONE(name) out.name = c.name;
    KEL_SAME_NAME_COUNTERS(KEL_COPY_ONE)
#undef KEL_COPY_ONE
    out.cntRxPriorityPkts = c.cntRxPriorityPkts[0];
    out.cntRxPriorityOctets = c.cntRxPriorityOctets[0];
}

}  // namespace

int kel_get_stat_fn(int unit, int port, kel_stat_t *stat) {
    int ret = -1;
    if (port <= kStatMaxPort) {
        // The state query refuses a port whose state the switch cannot
        // report before its counters are read; the state itself is unused.
        fm_int mode = 0, state = 0;
        fm_int info[FM_PORT_INFO_WORDS] = {};
        fm_portCounters counters;
        std::memset(&counters, 0, sizeof counters);
        if (fmGetPortState(unit, port, &mode, &state, info) == FM_OK &&
            fmGetPortCounters(unit, port, &counters) == FM_OK) {
            copy_counters(counters, stat->kel_stat_cnt.kelf);
            ret = 0;
        }
    }
    stat->ret_val = ret;
    return ret;
}

int kel_get_prio_stat_fn(int unit, int port, kel_stat_t *stat) {
    int ret = -1;
    if (port <= kStatMaxPort) {
        fm_portCounters counters;
        std::memset(&counters, 0, sizeof counters);
        if (fmGetPortCounters(unit, port, &counters) == FM_OK) {
            for (int p = 0; p < FM_MAX_SWITCH_PRIORITIES; ++p)
                stat->kel_stat_cnt.prio_kelf.cntRxPriorityPkts[p] = counters.cntRxPriorityPkts[p];
            ret = 0;
        }
    }
    stat->ret_val = ret;
    return ret;
}

int kel_reset_stat_fn(int unit, int port) {
    if (port > kStatMaxPort) return -1;
    return fmResetPortCounters(unit, port) == FM_OK ? 0 : -1;
}
