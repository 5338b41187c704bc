// Load-balancing groups against fmsim: the bins each port gets, refusals
// that create nothing, and failures that leave no group behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "distribution.h"
#include "fmsim.h"
#include "fmsim_lbg.h"
#include "testing/harness.h"

namespace {

using kelftest::send;

class LbgTest : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(2); }

    kelftest::Answer add(const std::vector<int> &ports, int unit = 0) {
        kelftest::set_list(kelftest::lbg_request(d_, KEL_LBG_ADD, unit), ports);
        return send(d_);
    }
    kelftest::Answer list(int unit = 0) {
        kelftest::lbg_request(d_, KEL_LBG_QUERY_LIST, unit);
        return send(d_);
    }

    kelf::Dispatcher d_;
};

int bins_of(const FmsimLbg &g, int port) {
    return static_cast<int>(std::count(g.bins.begin(), g.bins.end(), port));
}

TEST_F(LbgTest, BinsGoRoundRobinOverTheList) {
    kelftest::Answer a = add({1, 2, 3});
    ASSERT_GE(a.status(), 0);
    EXPECT_EQ(a.out, "");
    FmsimLbg g = fmsim_lbg(0, a.status());
    ASSERT_TRUE(g.exists);
    EXPECT_EQ(g.mode, FM_LBG_MODE_MAPPED);
    EXPECT_EQ(g.state, FM_LBG_STATE_ACTIVE);
    ASSERT_EQ(g.bins.size(), 256u);
    EXPECT_EQ(bins_of(g, 1), 86);
    EXPECT_EQ(bins_of(g, 2), 85);
    EXPECT_EQ(bins_of(g, 3), 85);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(g.bins[static_cast<size_t>(b)], 1 + b % 3) << b;

    FmsimLbg one = fmsim_lbg(0, add({7}).status());
    EXPECT_EQ(bins_of(one, 7), 256);

    FmsimLbg twice = fmsim_lbg(0, add({4, 4, 5}).status());
    EXPECT_EQ(bins_of(twice, 4), 171) << "a repeated port takes both its shares";
    EXPECT_EQ(bins_of(twice, 5), 85);

    std::vector<int> all(32);
    for (int i = 0; i < 32; ++i) all[static_cast<size_t>(i)] = i + 1;
    FmsimLbg full = fmsim_lbg(0, add(all).status());
    for (int p = 1; p <= 32; ++p) EXPECT_EQ(bins_of(full, p), 8) << p;
    EXPECT_EQ(fmsim_lbg_list(0).size(), 4u);
    EXPECT_TRUE(fmsim_lbg_list(1).empty()) << "groups belong to their switch";
}

TEST_F(LbgTest, CountsOutsideTheListAreRefusedBeforeAnythingIsCreated) {
    for (int n : {0, 33, -1, INT_MIN, INT_MAX}) {
        kelftest::lbg_request(d_, KEL_LBG_ADD).kel_query_list.kel_lbg_list.lbg_num = n;
        kelftest::Answer a = send(d_);
        EXPECT_EQ(a.status(), -1) << n;
        EXPECT_EQ(a.out, "") << n;
    }
    EXPECT_EQ(fmsim_calls("fmCreateLBGExt"), 0u);
    EXPECT_TRUE(fmsim_lbg_list(0).empty());
}

TEST_F(LbgTest, AFailedCreationLeavesNoGroup) {
    fmsim_fail("fmCreateLBGExt");
    kelftest::Answer a = add({1, 2});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "get fmAddLBGPort: Failure\n");

    fmsim_fail("fmSetLBGAttribute", 1, FM_ERR_NO_MEM);
    a = add({1, 2});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "set fmSetLBGAttribute: Out of memory\n");
    EXPECT_TRUE(fmsim_lbg_list(0).empty()) << "the group is deleted again";

    fmsim_fail("fmSetLBGAttribute", 3);  // the state write of the next add
    a = add({1, 2});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "set fmSetLBGAttribute FM_LBG_STATE: Failure\n");
    EXPECT_TRUE(fmsim_lbg_list(0).empty());
    EXPECT_EQ(fmsim_calls("fmDeleteLBG"), 2u);

    // A port the switch does not have is refused by the map write.
    a = add({1, 99});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "set fmSetLBGAttribute: Invalid port number\n");
    EXPECT_TRUE(fmsim_lbg_list(0).empty());

    a = add({1, 2}, 5);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "get fmAddLBGPort: Invalid switch number\n");
}

TEST_F(LbgTest, ListAndRemove) {
    kelftest::Answer a = list();
    ASSERT_EQ(a.reply.size(), 136u);
    EXPECT_EQ(+a.list().kel_lbg_list.lbg_num, 0);
    EXPECT_EQ(+a.list().ret, 0);

    std::vector<int> made;
    for (int i = 0; i < 20; ++i) made.push_back(add({1 + i % 8}).status());
    ASSERT_EQ(made.size(), 20u);
    ASSERT_EQ(std::count(made.begin(), made.end(), -1), 0);

    // Entries the reply does not fill go back as the client sent them.
    kelftest::lbg_request(d_, KEL_LBG_QUERY_LIST).kel_query_list.kel_lbg_list.lbg_list[16] = 1234;
    a = send(d_);
    kel_lbg_query_list_t q = a.list();
    EXPECT_EQ(+q.kel_lbg_list.lbg_num, 16);
    EXPECT_EQ(kelftest::entries(q, 16), std::vector<int>(made.begin(), made.begin() + 16));
    EXPECT_EQ(+q.kel_lbg_list.lbg_list[16], 1234);
    EXPECT_EQ(+q.ret, 0);

    for (int i = 3; i < 20; ++i) {
        kelftest::lbg_request(d_, KEL_LBG_REMOVE).lbg = made[static_cast<size_t>(i)];
        ASSERT_EQ(send(d_).status(), 0);
    }
    q = list().list();
    EXPECT_EQ(+q.kel_lbg_list.lbg_num, 3);
    EXPECT_EQ(kelftest::entries(q, 3), std::vector<int>(made.begin(), made.begin() + 3));

    kelftest::lbg_request(d_, KEL_LBG_REMOVE).lbg = made[5];
    a = send(d_);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmDeleteLBG: Invalid load-balancing group\n");

    fmsim_fail("fmGetLBGList", fmsim_calls("fmGetLBGList") + 1, FM_ERR_INVALID_SWITCH);
    a = list();
    ASSERT_EQ(a.reply.size(), 136u);
    EXPECT_EQ(+a.list().ret, -1);
    EXPECT_EQ(a.out, "fmGetLBGList: Invalid switch number\n");
}

TEST_F(LbgTest, PortCommandsStayRefusedAndPortListStaysUnknown) {
    ASSERT_GE(add({1, 2}).status(), 0);
    for (int cmd : {KEL_LBG_PORT_REMOVE, KEL_LBG_PORT_ADD}) {
        kelftest::lbg_request(d_, cmd).lbg = 0;
        kelftest::Answer a = send(d_);
        EXPECT_EQ(a.status(), -1);
        EXPECT_EQ(a.out, "");
    }
    kelftest::lbg_request(d_, KEL_LBG_PORT_QUERY_LIST);
    EXPECT_EQ(send(d_).out, "keld: Unknown command\n");
    EXPECT_EQ(bins_of(fmsim_lbg(0, 0), 1), 128) << "the group is untouched";
}

}  // namespace
