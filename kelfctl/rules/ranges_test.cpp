// What the switch is sent for port ranges and zero networks matches
// exactly what was written: checked port by port over all 65536 ports.
#include "ranges.h"

#include <gtest/gtest.h>

#include "batch.h"
#include "rule.h"
#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

// How the switch reads one rule's L4 condition from the request fields:
// exact when the mask is 0, else the masked compare.
bool wire_matches(int port, int value, int mask) {
    if (value == 0) return true;  // no condition
    if (mask == 0) return port == value;
    return (port & mask) == (value & mask);
}

TEST(Ranges, SplitRulesMatchEveryPortOfTheRangeAndNoOther) {
    const std::pair<int, int> ranges[] = {
        {1024, 65535}, {0, 1023},      {1, 65534},  {80, 80},   {0, 1},         {6000, 6063},
        {1, 1},        {49152, 65535}, {123, 4567}, {0, 65534}, {65535, 65535}, {32767, 32768}};
    for (auto [lo, hi] : ranges) {
        SCOPED_TRACE(std::to_string(lo) + "-" + std::to_string(hi));
        Args a(split_line("drop dport " + std::to_string(lo) + "-" + std::to_string(hi)));
        std::vector<if_kel_t> sent;
        for (const RuleDef &r : expand_rule(parse_rule(a))) {
            int code;
            sent.push_back(rule_request(r, 0, &code));
            ASSERT_NE(sent.back().kel_mem.dst_port, 0) << "a condition kelfd would drop";
        }
        std::vector<ValueMask> pairs = split_port_range(lo, hi);
        EXPECT_EQ(sent.size(), pairs.size());
        for (int p = 0; p <= 65535; ++p) {
            int hits = 0;
            for (const if_kel_t &k : sent)
                hits += wire_matches(p, k.kel_mem.dst_port, k.kel_mem.dst_port_mask);
            ASSERT_EQ(hits, (p >= lo && p <= hi) ? 1 : 0) << "port " << p;
        }
    }
}

TEST(Ranges, TheFewestPrefixPairs) {
    EXPECT_EQ(split_port_range(1024, 65535).size(), 6u);
    EXPECT_EQ(split_port_range(0, 1023), (std::vector<ValueMask>{{0, 0xFC00}}));
    EXPECT_EQ(split_port_range(1, 65534).size(), 30u);  // the worst case of 16 bits
    EXPECT_EQ(split_port_range(0, 65535), (std::vector<ValueMask>{{0, 0}}));
}

// A range listed back reads as the rules it became, which import again to
// the same rules.
TEST(Ranges, ARangeAddsItsRulesAndListsBackAsTheyAre) {
    FakeDaemon d;
    Outcome r = run(d, {"rule", "add", "group", "3", "id", "40", "permit", "sport", "0-1023",
                        "dport", "1024-65535"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "added 6 rules to group 3, ids 40-45, for sport 0-1023 dport 1024-65535\n");
    ASSERT_EQ(d.rules[3].size(), 6u);
    EXPECT_EQ(d.rules[3][0].mem.src_port, 1) << "port 0 under a mask goes with a stand-in bit";
    EXPECT_EQ(d.rules[3][0].mem.src_port_mask, 0xFC00);
    Outcome listed = run(d, {"rule", "list", "-d"});
    EXPECT_NE(listed.out.find("rule add group 3 id 40 permit sport 0/0xfc00 dport 1024/0xfc00\n"),
              std::string::npos)
        << listed.out;
    FakeDaemon e;
    ASSERT_EQ(run(e, {"-b", "-"}, listed.out).status, 0);
    ASSERT_EQ(e.rules[3].size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        kel_mem_t x = d.rules[3][i].mem, y = e.rules[3][i].mem;
        EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << i;
    }
}

// A refusal part-way leaves none of the range's rules behind.
TEST(Ranges, ARefusedRuleTakesTheOnesBeforeItBackOut) {
    FakeDaemon d;
    int adds = 0;
    d.answer[KEL_SET_PERMIT] = [&](const Bytes &req) {
        if (++adds == 3) return status_reply(-1);
        if_kel_t k;
        std::memcpy(&k, req.data(), sizeof k);
        d.rules[k.kel_mem.group].push_back({k.kel_mem, 1});
        return status_reply(k.kel_mem.rule_id);
    };
    Outcome r = run(d, {"rule", "add", "id", "10", "permit", "dport", "1024-65535"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rule 3 of 6"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the 2 added before it are removed again"), std::string::npos) << r.err;
    EXPECT_TRUE(d.rules[0].empty());
}

TEST(Ranges, ZeroNetworksGoWithAStandInBitAndListBackAsWritten) {
    FakeDaemon d;
    ASSERT_EQ(run(d, {"rule", "add", "drop", "dst-ip", "0.0.0.0/2", "src-ip", "0.0.0.0/31"}).status,
              0);
    const kel_mem_t &m = d.rules[0][0].mem;
    EXPECT_EQ(m.dst_ip, 1u);
    EXPECT_EQ(m.dst_ip_mask, 0xC0000000u);
    EXPECT_EQ(m.src_ip, 1u);
    EXPECT_EQ(m.src_ip_mask, 0xFFFFFFFEu);
    EXPECT_EQ(run(d, {"rule", "list", "-d"}).out,
              "rule add group 0 id 1 drop src-ip 0.0.0.0/31 dst-ip 0.0.0.0/2\n");
    for (std::uint32_t mask : {0x80000000u, 0xFFFFFFFEu, 0xFF00FF00u})
        EXPECT_EQ(zero_stand_in(mask, 0xFFFFFFFFu) & mask, 0u);
}

}  // namespace
}  // namespace kelfctl::test
