// Port statistics through the dispatcher: which counter lands where in the
// 820-byte record, what a refusal or failure leaves in it, and the reset.
#include <cstddef>

#include "device/device_test.h"
#include "fm_sdk.h"
#include "fmsim_counters.h"

namespace {

using devtest::Answer;

// Every reply counter that carries the switch counter of the same name.
struct Pair {
    std::size_t wire, sdk;
};
// clang-format off
#define P(name) {offsetof(kelf_stat_cnt_t, name), offsetof(fm_portCounters, name)},
constexpr Pair kByName[] = {
    P(cntRxUcstPkts) P(cntRxUcstPktsNonIP) P(cntRxUcstPktsIPv4) P(cntRxUcstPktsIPv6)
    P(cntRxBcstPkts) P(cntRxBcstPktsNonIP) P(cntRxBcstPktsIPv4) P(cntRxBcstPktsIPv6)
    P(cntRxMcstPkts) P(cntRxMcstPktsNonIP) P(cntRxMcstPktsIPv4) P(cntRxMcstPktsIPv6)
    P(cntRxPausePkts) P(cntRxCBPausePkts) P(cntRxFCSErrors) P(cntRxSymbolErrors)
    P(cntRxFrameSizeErrors) P(cntRxMinTo63Pkts) P(cntRx64Pkts) P(cntRx65to127Pkts)
    P(cntRx128to255Pkts) P(cntRx256to511Pkts) P(cntRx512to1023Pkts) P(cntRx1024to1522Pkts)
    P(cntRx1523to2047Pkts) P(cntRx2048to4095Pkts) P(cntRx4096to8191Pkts) P(cntRx8192to10239Pkts)
    P(cntRx10240toMaxPkts) P(cntRxFragmentPkts) P(cntRxUndersizedPkts) P(cntRxJabberPkts)
    P(cntRxOversizedPkts) P(cntRxGoodOctets) P(cntRxOctetsNonIp) P(cntRxOctetsIPv4)
    P(cntRxOctetsIPv6) P(cntRxBadOctets) P(cntTxUcstPkts) P(cntTxBcstPkts) P(cntTxMcstPkts)
    P(cntTxPausePkts) P(cntTxFCSErroredPkts) P(cntTxErrorDropPkts) P(cntTxTimeOutPkts)
    P(cntTxLoopbackPkts) P(cntTxMinTo63Pkts) P(cntTx64Pkts) P(cntTx65to127Pkts)
    P(cntTx128to255Pkts) P(cntTx256to511Pkts) P(cntTx512to1023Pkts) P(cntTx1024to1522Pkts)
    P(cntTx1523to2047Pkts) P(cntTx2048to4095Pkts) P(cntTx4096to8191Pkts) P(cntTx8192to10239Pkts)
    P(cntTx10240toMaxPkts) P(cntTxOctets) P(cntTxErrorOctets) P(cntTxCMDropPkts)
    P(cntFIDForwardedPkts) P(cntFloodForwardedPkts) P(cntSpeciallyHandledPkts)
    P(cntParseErrDropPkts) P(cntParityErrorPkts) P(cntTrappedPkts) P(cntPauseDropPkts)
    P(cntSTPDropPkts) P(cntReservedTrapPkts) P(cntSecurityViolationPkts) P(cntVLANTagDropPkts)
    P(cntVLANIngressBVPkts) P(cntVLANEgressBVPkts) P(cntGlortMissDropPkts) P(cntFFUDropPkts)
    P(cntPolicerDropPkts) P(cntTTLDropPkts) P(cntCmPrivDropPkts) P(cntSmp0DropPkts)
    P(cntSmp1DropPkts) P(cntRxHog0DropPkts) P(cntRxHog1DropPkts) P(cntTxHog0DropPkts)
    P(cntTxHog1DropPkts) P(cntRateLimit0DropPkts) P(cntRateLimit1DropPkts) P(cntBadSmpDropPkts)
    P(cntTriggerDropRedirPkts) P(cntTriggerDropPkts) P(cntTriggerRedirPkts)
    P(cntTriggerMirroredPkts) P(cntBroadcastDropPkts) P(cntDLFDropPkts) P(cntRxCMDropPkts)
    P(cntUnderrunPkts) P(cntOverrunPkts) P(cntCorruptedPkts) P(cntStatsDropCountTx)
    P(cntStatsDropCountRx)
};
// clang-format on
#undef P
static_assert(sizeof kByName / sizeof kByName[0] + 2 == 102);

std::uint64_t word(const void *base, std::size_t off) {
    std::uint64_t v;
    std::memcpy(&v, static_cast<const unsigned char *>(base) + off, sizeof v);
    return v;
}

// Counters with a different value in every 64-bit member, so that a copy
// from a neighbouring member shows.
fm_portCounters distinct_counters() {
    fm_portCounters c;
    std::memset(&c, 0, sizeof c);
    for (std::size_t off = offsetof(fm_portCounters, cntTimestamp); off + 8 <= sizeof c; off += 8) {
        std::uint64_t v = 0x5100000000000000ull + off;
        std::memcpy(reinterpret_cast<unsigned char *>(&c) + off, &v, 8);
    }
    return c;
}

class Statistics : public devtest::DeviceTest {
protected:
    // A statistics request on port of unit 0, its counter area filled with
    // 0xA5 so that untouched bytes show.
    void stat_request(std::uint32_t cmd, int port, int unit = 0) {
        if_kel_t &k = request(cmd);
        k.unit = unit;
        k.kel_mem.port = port;
        std::memset(&k.kel_stat, 0xA5, sizeof k.kel_stat.kel_stat_cnt);
    }
    static bool untouched(const kel_stat_t &s) {
        const auto *p = reinterpret_cast<const unsigned char *>(&s.kel_stat_cnt);
        for (std::size_t i = 0; i < sizeof s.kel_stat_cnt; ++i)
            if (p[i] != 0xA5) return false;
        return true;
    }
};

TEST_F(Statistics, EveryCounterIsCopiedByNameAndPriorityZeroOnly) {
    fm_portCounters c = distinct_counters();
    ASSERT_TRUE(fmsim_set_port_counters(0, 7, c));
    stat_request(KEL_GET_STAT, 7);
    Answer a = run();
    ASSERT_EQ(a.reply.size(), 820u);
    auto s = a.as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, 0);
    for (const Pair &p : kByName)
        EXPECT_EQ(word(&s.kel_stat_cnt.kelf, p.wire), word(&c, p.sdk)) << "reply offset " << p.wire;
    EXPECT_EQ(s.kel_stat_cnt.kelf.cntRxPriorityPkts, c.cntRxPriorityPkts[0]);
    EXPECT_EQ(s.kel_stat_cnt.kelf.cntRxPriorityOctets, c.cntRxPriorityOctets[0]);
    EXPECT_EQ(a.out, "");
    // The status word carries the record's result on.
    EXPECT_EQ(d_.ret_fn(), 0);
}

TEST_F(Statistics, PriorityCountersFillTheFirst128BytesOnly) {
    fm_portCounters c = distinct_counters();
    ASSERT_TRUE(fmsim_set_port_counters(0, 3, c));
    stat_request(KEL_GET_PRIO_STAT, 3);
    Answer a = run();
    ASSERT_EQ(a.reply.size(), 820u);
    auto s = a.as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, 0);
    for (int p = 0; p < 16; ++p)
        EXPECT_EQ(s.kel_stat_cnt.prio_kelf.cntRxPriorityPkts[p], c.cntRxPriorityPkts[p]) << p;
    for (std::size_t i = 128; i < 816; ++i) ASSERT_EQ(a.reply[i], 0xA5) << "byte " << i;
}

TEST_F(Statistics, PortBoundIsCheckedBeforeTheSwitchSeesIt) {
    // 49999 and negative ports reach the switch, which knows no such port.
    for (int port : {49999, -1}) {
        for (std::uint32_t cmd : {KEL_GET_STAT, KEL_GET_PRIO_STAT}) {
            fmsim_reset();
            stat_request(cmd, port);
            Answer a = run();
            ASSERT_EQ(a.reply.size(), 820u);
            auto s = a.as<kel_stat_t>();
            EXPECT_EQ(s.ret_val, -1);
            EXPECT_TRUE(untouched(s));
            EXPECT_EQ(fmsim_calls(cmd == KEL_GET_STAT ? "fmGetPortState" : "fmGetPortCounters"),
                      1u);
        }
        fmsim_reset();
        stat_request(KEL_RESET_STAT, port);
        EXPECT_EQ(run().status(), -1);
        EXPECT_EQ(fmsim_calls("fmResetPortCounters"), 1u);
    }
    // 50000 and beyond never do, though the switch has a port 50000.
    fmsim_reset();
    for (int port : {50000, 0x7FFFFFFF}) {
        for (std::uint32_t cmd : {KEL_GET_STAT, KEL_GET_PRIO_STAT}) {
            stat_request(cmd, port);
            Answer a = run();
            ASSERT_EQ(a.reply.size(), 820u);
            auto s = a.as<kel_stat_t>();
            EXPECT_EQ(s.ret_val, -1);
            EXPECT_TRUE(untouched(s));
            EXPECT_EQ(d_.ret_fn(), -1);
        }
        stat_request(KEL_RESET_STAT, port);
        EXPECT_EQ(run().status(), -1);
    }
    EXPECT_EQ(fmsim_calls("fmGetPortState"), 0u);
    EXPECT_EQ(fmsim_calls("fmGetPortCounters"), 0u);
    EXPECT_EQ(fmsim_calls("fmResetPortCounters"), 0u);
}

TEST_F(Statistics, FailedStateQueryOrCounterReadLeavesTheAreaAsSent) {
    ASSERT_TRUE(fmsim_set_port_counters(0, 5, distinct_counters()));
    fmsim_fail("fmGetPortState");
    stat_request(KEL_GET_STAT, 5);
    auto s = run().as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, -1);
    EXPECT_TRUE(untouched(s));
    EXPECT_EQ(fmsim_calls("fmGetPortCounters"), 0u) << "counters are read only for a known state";

    fmsim_fail("fmGetPortCounters", 1, FM_FAIL, 2);
    for (std::uint32_t cmd : {KEL_GET_STAT, KEL_GET_PRIO_STAT}) {
        stat_request(cmd, 5);
        s = run().as<kel_stat_t>();
        EXPECT_EQ(s.ret_val, -1);
        EXPECT_TRUE(untouched(s));
    }
    // The counters of the other switch are its own.
    stat_request(KEL_GET_STAT, 5, 1);
    s = run().as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, 0);
    EXPECT_EQ(s.kel_stat_cnt.kelf.cntRxUcstPkts, 0u);
}

TEST_F(Statistics, ResetClearsOnePortAndAnySdkFailureIsMinusOne) {
    fm_portCounters c = distinct_counters();
    ASSERT_TRUE(fmsim_set_port_counters(0, 9, c));
    ASSERT_TRUE(fmsim_set_port_counters(0, 10, c));
    stat_request(KEL_RESET_STAT, 9);
    Answer a = run();
    EXPECT_EQ(a.reply.size(), 4u);
    EXPECT_EQ(a.status(), 0);
    fm_portCounters after;
    ASSERT_TRUE(fmsim_get_port_counters(0, 9, &after));
    EXPECT_EQ(after.cntTxOctets, 0u);
    EXPECT_EQ(after.cntRxPriorityOctets[15], 0u);
    ASSERT_TRUE(fmsim_get_port_counters(0, 10, &after));
    EXPECT_EQ(after.cntTxOctets, c.cntTxOctets);

    fmsim_fail("fmResetPortCounters", fmsim_calls("fmResetPortCounters") + 1, FM_ERR_UNSUPPORTED);
    stat_request(KEL_RESET_STAT, 10);
    EXPECT_EQ(run().status(), -1) << "the switch's own code is not passed on";
    stat_request(KEL_RESET_STAT, 10, 2);
    EXPECT_EQ(run().status(), -1);
}

TEST_F(Statistics, VlanStatisticsDoNothing) {
    if_kel_t &k = request(KEL_GET_VLAN_STAT);
    std::memset(&k.kel_vlan_stat, 0x3C, sizeof k.kel_vlan_stat);
    std::memset(&k.kel_stat, 0x3C, sizeof k.kel_stat);
    Answer a = run();
    EXPECT_EQ(a.status(), 0);
    const unsigned char *raw = buffer().raw;
    for (std::size_t i = offsetof(if_kel_t, kel_vlan_stat); i < offsetof(if_kel_t, l2_hash); ++i)
        ASSERT_EQ(raw[i], 0x3C) << i;
}

}  // namespace
