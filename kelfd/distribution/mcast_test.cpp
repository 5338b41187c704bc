// Multicast groups against fmsim: the state a create leaves, listeners and
// the two-step removal.
#include <gtest/gtest.h>

#include "distribution.h"
#include "fmsim.h"
#include "fmsim_mcast.h"
#include "testing/harness.h"

namespace {

using kelftest::send;

class McastTest : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(1); }

    kelftest::Answer cmd(int code, int group = 0, int port = 0, int val = 0) {
        if_kel_t &r = kelftest::kel_request(d_, code);
        r.group = group;
        r.port = port;
        r.val = val;
        return send(d_);
    }

    kelf::Dispatcher d_;
};

TEST_F(McastTest, CreateGivesAnActiveGroupForL3SwitchingOnly) {
    int g1 = cmd(KEL_MCG_CREATE).status();
    int g2 = cmd(KEL_MCG_CREATE).status();
    ASSERT_GE(g1, 0);
    ASSERT_GE(g2, 0);
    EXPECT_NE(g1, g2);
    FmsimMcastGroup g = fmsim_mcast_group(0, g1);
    ASSERT_TRUE(g.exists);
    EXPECT_TRUE(g.active);
    EXPECT_FALSE(g.l2_only);
    EXPECT_TRUE(g.l3_only);
    EXPECT_EQ(fmDeleteMcastGroup(0, g1), FM_ERR_MCAST_GROUP_ACTIVE) << "the switch guards it";

    kelftest::Answer a = cmd(KEL_MCG_GET_PORT, g2);
    EXPECT_EQ(a.status(), fmsim_mcast_group(0, g2).port);
    EXPECT_NE(a.status(), fmsim_mcast_group(0, g1).port);
    a = cmd(KEL_MCG_GET_PORT, 999);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmGetMcastGroupPort: Invalid multicast group\n");
}

TEST_F(McastTest, ListenersTakeTheLow16BitsAsVlan) {
    int grp = cmd(KEL_MCG_CREATE).status();
    ASSERT_GE(grp, 0);
    EXPECT_EQ(cmd(KEL_MCG_ADD_LISTENER, grp, 5, 0x10064).status(), 0);
    EXPECT_EQ(cmd(KEL_MCG_ADD_LISTENER, grp, 6, 100).status(), 0);
    FmsimMcastGroup g = fmsim_mcast_group(0, grp);
    ASSERT_EQ(g.listeners.size(), 2u);
    EXPECT_EQ(g.listeners[0].vlan, 100);
    EXPECT_EQ(g.listeners[0].port, 5);
    EXPECT_FALSE(g.listeners[0].flood);
    EXPECT_FALSE(g.listeners[0].remote);
    EXPECT_EQ(g.listeners[0].xcast_glort, 0);

    kelftest::Answer a = cmd(KEL_MCG_ADD_LISTENER, grp, 5, 0x10000);
    EXPECT_EQ(a.status(), -1) << "VLAN 0 after the high bits are dropped";
    EXPECT_EQ(a.out, "fmAddMcastGroupListener: Invalid VLAN\n");
    a = cmd(KEL_MCG_ADD_LISTENER, grp + 1, 5, 100);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmAddMcastGroupListener: Invalid multicast group\n");
}

TEST_F(McastTest, RemoveDeactivatesThenDeletes) {
    int grp = cmd(KEL_MCG_CREATE).status();
    ASSERT_EQ(cmd(KEL_MCG_ADD_LISTENER, grp, 5, 100).status(), 0);
    EXPECT_EQ(cmd(KEL_MCG_REMOVE, grp).status(), 0);
    EXPECT_FALSE(fmsim_mcast_group(0, grp).exists);

    kelftest::Answer a = cmd(KEL_MCG_REMOVE, grp);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmDeactivateMcastGroup: Invalid multicast group\n");
    EXPECT_EQ(fmsim_calls("fmDeleteMcastGroup"), 1u) << "no delete after a failed deactivate";

    grp = cmd(KEL_MCG_CREATE).status();
    fmsim_fail("fmDeleteMcastGroup", 2);
    a = cmd(KEL_MCG_REMOVE, grp);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmDeleteMcastGroup: Failure\n");
    FmsimMcastGroup g = fmsim_mcast_group(0, grp);
    EXPECT_TRUE(g.exists);
    EXPECT_FALSE(g.active) << "the group stays, deactivated";
    EXPECT_EQ(cmd(KEL_MCG_REMOVE, grp).status(), 0) << "and a second remove finishes it";
}

TEST_F(McastTest, EachCreateStepReportsItsOwnFailure) {
    struct Case {
        const char *op;
        std::uint64_t nth;
        const char *text;
    } cases[] = {
        {"fmCreateMcastGroup", 1, "fmCreateMcastGroup: Failure\n"},
        {"fmSetMcastGroupAttribute", 1,
         "fmSetMcastGroupAttribute FM_MCASTGROUP_L2_SWITCHING_ONLY: Failure\n"},
        {"fmSetMcastGroupAttribute", 2,
         "fmSetMcastGroupAttribute FM_MCASTGROUP_L3_SWITCHING_ONLY: Failure\n"},
        {"fmActivateMcastGroup", 1, "fmActivateMcastGroup: Failure\n"},
    };
    for (const Case &c : cases) {
        fmsim_reset();
        fmsim_fail(c.op, c.nth);
        kelftest::Answer a = cmd(KEL_MCG_CREATE);
        EXPECT_EQ(a.status(), -1) << c.text;
        EXPECT_EQ(a.out, c.text);
        // The client never learns the number of a failed create: nothing
        // of it may stay in the switch.
        EXPECT_TRUE(fmsim_mcast_list(0).empty()) << c.text;
    }
    // A failed clean-up is reported too, after the failure that caused it.
    fmsim_reset();
    fmsim_fail("fmActivateMcastGroup", 1);
    fmsim_fail("fmDeleteMcastGroup", 1);
    kelftest::Answer a = cmd(KEL_MCG_CREATE);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmActivateMcastGroup: Failure\nfmDeleteMcastGroup: Failure\n");
}

}  // namespace
