// Port statistics through the dispatcher: which counter lands where in the
// 820-byte record, what a refusal or failure leaves in it, and the reset.
#include <cstddef>

#include "fm_sdk.h"
#include "fmsim_counters.h"
#include "testing/harness.h"

namespace {

using kelftest::Answer;

// Reply offset and switch-record offset of every counter copied by name.
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
#undef P
// clang-format on
static_assert(sizeof kByName / sizeof kByName[0] + 2 == 102);

std::uint64_t word(const void *base, std::size_t off) {
    std::uint64_t v;
    std::memcpy(&v, static_cast<const unsigned char *>(base) + off, sizeof v);
    return v;
}

class Statistics : public kelftest::DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        // A different value in every 64-bit member, so that a copy from a
        // neighbouring member shows.
        std::memset(&c_, 0, sizeof c_);
        for (std::size_t off = offsetof(fm_portCounters, cntTimestamp); off + 8 <= sizeof c_;
             off += 8) {
            std::uint64_t v = 0x5100000000000000ull + off;
            std::memcpy(reinterpret_cast<unsigned char *>(&c_) + off, &v, 8);
        }
        ASSERT_TRUE(fmsim_set_port_counters(0, 7, c_));
    }
    // A request whose counter area is 0xA5, so that untouched bytes show.
    Answer stat(std::uint32_t cmd, int port, int unit = 0) {
        if_kel_t &k = request(cmd, {.unit = unit});
        k.kel_mem.port = port;
        std::memset(&k.kel_stat, 0xA5, sizeof k.kel_stat);
        Answer a = run();
        EXPECT_EQ(a.reply.size(), cmd == KEL_RESET_STAT ? 4u : 820u);
        return a;
    }
    static bool untouched(const Answer &a) {
        for (std::size_t i = 0; i < 816; ++i)
            if (a.reply[i] != 0xA5) return false;
        return true;
    }
    fm_portCounters c_;
};

TEST_F(Statistics, CountersAreCopiedByNameAndPrioritiesApart) {
    Answer a = stat(KEL_GET_STAT, 7);
    auto s = a.as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, 0);
    for (const Pair &p : kByName)
        EXPECT_EQ(word(&s.kel_stat_cnt.kelf, p.wire), word(&c_, p.sdk))
            << "reply offset " << p.wire;
    EXPECT_EQ(s.kel_stat_cnt.kelf.cntRxPriorityPkts, c_.cntRxPriorityPkts[0]);
    EXPECT_EQ(s.kel_stat_cnt.kelf.cntRxPriorityOctets, c_.cntRxPriorityOctets[0]);

    // All 16 priorities come from 202, which writes the first 128 bytes only.
    a = stat(KEL_GET_PRIO_STAT, 7);
    s = a.as<kel_stat_t>();
    EXPECT_EQ(s.ret_val, 0);
    for (int p = 0; p < 16; ++p)
        EXPECT_EQ(s.kel_stat_cnt.prio_kelf.cntRxPriorityPkts[p], c_.cntRxPriorityPkts[p]) << p;
    for (std::size_t i = 128; i < 816; ++i) ASSERT_EQ(a.reply[i], 0xA5) << "byte " << i;
    EXPECT_EQ(a.out, "");
}

TEST_F(Statistics, PortsAbove49999NeverReachTheSwitch) {
    // 49999 and negative ports go to the switch, which knows no such port.
    for (int port : {49999, -1}) {
        EXPECT_EQ(stat(KEL_GET_STAT, port).as<kel_stat_t>().ret_val, -1);
        EXPECT_EQ(stat(KEL_GET_PRIO_STAT, port).as<kel_stat_t>().ret_val, -1);
        EXPECT_EQ(stat(KEL_RESET_STAT, port).status(), -1);
    }
    EXPECT_EQ(fmsim_calls("fmGetPortState"), 2u);
    EXPECT_EQ(fmsim_calls("fmGetPortCounters"), 2u);
    EXPECT_EQ(fmsim_calls("fmResetPortCounters"), 2u);
    // The switch has a port 50000, but the daemon does not ask.
    for (int port : {50000, 0x7FFFFFFF}) {
        for (std::uint32_t cmd : {KEL_GET_STAT, KEL_GET_PRIO_STAT}) {
            Answer a = stat(cmd, port);
            EXPECT_EQ(a.as<kel_stat_t>().ret_val, -1);
            EXPECT_TRUE(untouched(a));
            EXPECT_EQ(d_.ret_fn(), -1);
        }
        EXPECT_EQ(stat(KEL_RESET_STAT, port).status(), -1);
    }
    EXPECT_EQ(fmsim_calls("fmGetPortState") + fmsim_calls("fmGetPortCounters"), 4u);
    EXPECT_EQ(fmsim_calls("fmResetPortCounters"), 2u);
}

TEST_F(Statistics, FailuresLeaveTheAreaAsSent) {
    fmsim_fail("fmGetPortState");
    Answer a = stat(KEL_GET_STAT, 7);
    EXPECT_EQ(a.as<kel_stat_t>().ret_val, -1);
    EXPECT_TRUE(untouched(a));
    EXPECT_EQ(fmsim_calls("fmGetPortCounters"), 0u) << "counters are read only for a known state";

    fmsim_fail("fmGetPortCounters", 1, FM_FAIL, 2);
    for (std::uint32_t cmd : {KEL_GET_STAT, KEL_GET_PRIO_STAT}) {
        a = stat(cmd, 7);
        EXPECT_EQ(a.as<kel_stat_t>().ret_val, -1);
        EXPECT_TRUE(untouched(a));
    }
    // The other switch's port 7 has counters of its own.
    EXPECT_EQ(stat(KEL_GET_STAT, 7, 1).as<kel_stat_t>().kel_stat_cnt.kelf.cntTxOctets, 0u);
}

TEST_F(Statistics, ResetClearsOnePortAndAnyFailureIsMinusOne) {
    ASSERT_TRUE(fmsim_set_port_counters(0, 8, c_));
    EXPECT_EQ(stat(KEL_RESET_STAT, 7).status(), 0);
    fm_portCounters after;
    ASSERT_TRUE(fmsim_get_port_counters(0, 7, &after));
    EXPECT_EQ(after.cntTxOctets, 0u);
    EXPECT_EQ(after.cntRxPriorityOctets[15], 0u);
    ASSERT_TRUE(fmsim_get_port_counters(0, 8, &after));
    EXPECT_EQ(after.cntTxOctets, c_.cntTxOctets);

    fmsim_fail("fmResetPortCounters", 2, FM_ERR_UNSUPPORTED);
    EXPECT_EQ(stat(KEL_RESET_STAT, 8).status(), -1) << "the switch's own code is not passed on";
}

}  // namespace
