// Operating configurations against fmsim: what each one leaves in the port
// masks, what a refusal leaves alone, and the recorded number.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "daemon.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "ports.h"
#include "rules/rules.h"
#include "testing/harness.h"

namespace {

std::uint64_t bits(std::initializer_list<int> ports) {
    std::uint64_t m = 0;
    for (int p : ports) m |= 1ull << p;
    return m;
}
std::uint64_t range(int from, int to) {
    std::uint64_t m = 0;
    for (int p = from; p <= to; ++p) m |= 1ull << p;
    return m;
}

// Every port a switch has, cardinal and extra.
std::map<int, std::uint64_t> all_masks(int sw) {
    std::map<int, std::uint64_t> m;
    for (int p = 0; p <= 48; ++p) m[p] = fmsim_port_mask(sw, p);
    for (int p = 50000; p <= 50003; ++p) m[p] = fmsim_port_mask(sw, p);
    return m;
}

struct Result {
    int ret;
    std::string out;
};

Result set_cfg(int unit, int cfg) {
    testing::internal::CaptureStdout();
    int r = kel_set_cfg_fn(unit, cfg);
    return {r, testing::internal::GetCapturedStdout()};
}

class Configuration : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(2); }
    // Applies cfg and expects every mask it wrote to come back, every other
    // one to keep its value, and every array it created to be deleted.
    void expect_masks_after(int cfg, const std::map<int, std::uint64_t> &written) {
        auto before = all_masks(0);
        auto other_switch = all_masks(1);
        ASSERT_EQ(set_cfg(0, cfg).ret, 0);
        EXPECT_EQ(kel_get_cfg_fn(0), cfg);
        auto after = all_masks(0);
        for (auto [port, mask] : before) {
            auto w = written.find(port);
            EXPECT_EQ(after[port], w == written.end() ? mask : w->second)
                << "cfg " << cfg << ", port " << port;
        }
        EXPECT_EQ(all_masks(1), other_switch) << "another switch's masks changed";
        EXPECT_EQ(fmsim_calls("fmCreateBitArray"), fmsim_calls("fmDeleteBitArray"));
    }
};

TEST_F(Configuration, FullMeshAndIsolationCoverPorts1To47) {
    std::map<int, std::uint64_t> mesh, isolated;
    for (int p = 1; p <= 47; ++p) {
        mesh[p] = range(1, 47);
        isolated[p] = 0;
    }
    expect_masks_after(6, mesh);
    expect_masks_after(5, isolated);
    expect_masks_after(6, mesh);
}

TEST_F(Configuration, BypassPairsEveryPortWithItsPartnerUpToPort48) {
    std::map<int, std::uint64_t> pairs;
    for (int p = 1; p <= 47; p += 2) {
        pairs[p] = bits({p + 1});
        pairs[p + 1] = bits({p});
    }
    expect_masks_after(1, pairs);
}

TEST_F(Configuration, FanInLinksPorts1To4WithPort5Only) {
    std::map<int, std::uint64_t> fan{
        {1, bits({5})}, {2, bits({5})}, {3, bits({5})}, {4, bits({5})}, {5, bits({1, 2, 3, 4})}};
    expect_masks_after(2, fan);
    // Leaving it empties the masks of ports 1 to 5 with all the others.
    std::map<int, std::uint64_t> isolated;
    for (int p = 1; p <= 47; ++p) isolated[p] = 0;
    expect_masks_after(5, isolated);
}

// (source port, redirect port) of every rule of group 0, as the switch holds them.
std::multiset<std::pair<int, int>> group0_redirects(int sw) {
    std::multiset<std::pair<int, int>> out;
    static kel_query_list_t list;
    EXPECT_EQ(kel_entry_query_list_fn(sw, 0, &list), 0);
    EXPECT_EQ(fmsim_acl_rules(sw, 0).size(), list.kel_id_list.rule_num);
    for (int id : fmsim_acl_rules(sw, 0)) {
        FmsimAclRule r;
        EXPECT_TRUE(fmsim_acl_rule(sw, 0, id, &r));
        kel_mem_t q{};
        q.rule_id = id;
        EXPECT_EQ(kel_entry_query_fn(sw, &q), 0);
        EXPECT_EQ(q.redir_port, r.param.logicalPort);
        out.insert({q.port, r.param.logicalPort});
    }
    return out;
}

TEST_F(Configuration, FanInRedirectsTheFourSourcePortsAndKeepsThemAfterward) {
    const std::multiset<std::pair<int, int>> four{{50000, 1}, {50001, 2}, {50002, 3}, {50003, 4}};
    ASSERT_EQ(set_cfg(0, 2).ret, 0);
    EXPECT_EQ(group0_redirects(0), four);
    EXPECT_TRUE(fmsim_acl_in_force(0));
    EXPECT_TRUE(fmsim_acl_rules(1, 0).empty()) << "the other switch gets none";

    ASSERT_EQ(set_cfg(0, 2).ret, 0);
    auto eight = four;
    eight.insert(four.begin(), four.end());
    EXPECT_EQ(group0_redirects(0), eight);

    ASSERT_EQ(set_cfg(0, 5).ret, 0);
    EXPECT_EQ(group0_redirects(0), eight) << "leaving the configuration keeps its rules";
}

TEST_F(Configuration, FanInIsRecordedWhenTheRulesAreRefused) {
    fmsim_fail("fmAddACLRuleExt", 1, FM_FAIL, -1);
    testing::internal::CaptureStdout();
    int r = kel_set_cfg_fn(0, 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(kel_get_cfg_fn(0), 2);
    fmsim_fail_clear();
    EXPECT_TRUE(group0_redirects(0).empty());
    EXPECT_EQ(fmsim_port_mask(0, 5), bits({1, 2, 3, 4}));
}

TEST_F(Configuration, OutOfRangeNumbersAreRefusedBeforeTheUnitIsLookedAt) {
    ASSERT_EQ(set_cfg(0, 6).ret, 0);
    auto masks = all_masks(0);
    std::uint64_t writes = fmsim_calls("fmSetPortAttribute");
    for (int unit : {0, 1, 2, 8, -1}) {
        for (int cfg : {0, 7, 9, -1, INT_MIN, INT_MAX}) {
            Result r = set_cfg(unit, cfg);
            EXPECT_EQ(r.ret, -1);
            EXPECT_EQ(r.out, "ERROR: cfg " + std::to_string(cfg) + " is out of range.\n");
        }
    }
    EXPECT_EQ(kel_get_cfg_fn(0), 6);
    EXPECT_EQ(kel_get_cfg_fn(1), 0);
    EXPECT_EQ(all_masks(0), masks);
    EXPECT_EQ(fmsim_calls("fmSetPortAttribute"), writes);
}

TEST_F(Configuration, ThreeAndFourAreUnsupportedAndChangeNothing) {
    ASSERT_EQ(set_cfg(0, 1).ret, 0);
    auto masks = all_masks(0);
    for (int cfg : {3, 4}) {
        Result r = set_cfg(0, cfg);
        EXPECT_EQ(r.ret, -1);
        EXPECT_EQ(r.out, "ERROR: unsupported configuration " + std::to_string(cfg) + "\n");
    }
    EXPECT_EQ(kel_get_cfg_fn(0), 1);
    EXPECT_EQ(all_masks(0), masks);
    EXPECT_EQ(fmsim_calls("fmCreateBitArray"), fmsim_calls("fmDeleteBitArray"));
}

TEST_F(Configuration, UnitsNotBroughtUpAreRefusedSilently) {
    kel_inserted = 1;
    auto masks = all_masks(1);
    std::uint64_t creates = fmsim_calls("fmCreateBitArray");
    for (int unit : {1, 7, 8, 1000, -1, INT_MIN}) {
        for (int cfg = 1; cfg <= 6; ++cfg) {
            Result r = set_cfg(unit, cfg);
            EXPECT_EQ(r.ret, -1) << unit << " " << cfg;
            EXPECT_EQ(r.out, "") << unit << " " << cfg;
        }
        EXPECT_EQ(kel_get_cfg_fn(unit), -1) << unit;
    }
    EXPECT_EQ(all_masks(1), masks);
    EXPECT_EQ(fmsim_calls("fmCreateBitArray"), creates);
    // The unit brought up is unaffected, and keeps its own number.
    EXPECT_EQ(kel_get_cfg_fn(0), 0);
    EXPECT_EQ(set_cfg(0, 5).ret, 0);
    EXPECT_EQ(kel_get_cfg_fn(0), 5);
    kelf::ports::reset();
    EXPECT_EQ(kel_get_cfg_fn(0), 0);
}

TEST_F(Configuration, AFailedMaskWriteFailsTheConfigurationWithItsReason) {
    auto masks = all_masks(0);
    // No array: nothing is written with an array the switch did not create.
    for (int cfg : {1, 2, 5, 6}) {
        fmsim_fail("fmCreateBitArray", 1, FM_ERR_NO_MEM, -1);
        std::uint64_t writes = fmsim_calls("fmSetPortAttribute");
        Result r = set_cfg(0, cfg);
        EXPECT_EQ(r.ret, -1) << cfg;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
                  "fmCreateBitArray: " + std::string(fmErrorMsg(FM_ERR_NO_MEM)) + "\n")
            << cfg;
        EXPECT_EQ(kel_get_cfg_fn(0), 0) << "not recorded";
        EXPECT_EQ(fmsim_calls("fmSetPortAttribute"), writes) << cfg;
        fmsim_fail_clear();
    }
    EXPECT_EQ(all_masks(0), masks);

    // One refused write: the others still happen, the first failure is said.
    fmsim_fail("fmSetPortAttribute", 3, FM_FAIL);
    Result r = set_cfg(0, 6);
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.out, "port 3: fmSetPortAttribute FM_PORT_MASK_WIDE: Failure\n");
    EXPECT_EQ(kel_get_cfg_fn(0), 0);
    EXPECT_EQ(fmsim_port_mask(0, 3), masks[3]);
    EXPECT_EQ(fmsim_port_mask(0, 4), range(1, 47));

    fmsim_fail("fmSetBitArrayBit", fmsim_calls("fmSetBitArrayBit") + 1, FM_FAIL);
    EXPECT_EQ(set_cfg(0, 5).ret, 0) << "configuration 5 sets no bit";
    EXPECT_EQ(set_cfg(0, 1).ret, -1);
    EXPECT_EQ(kel_get_cfg_fn(0), 5);
}

}  // namespace
