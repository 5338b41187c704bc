// fmsim's multicast groups: what an active group refuses.
#include <gtest/gtest.h>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_mcast.h"

namespace {

TEST(FmsimMcastTest, AnActiveGroupIsNeitherReconfiguredNorDeleted) {
    fmsim_set_switches(1);
    fm_int g = -1;
    ASSERT_EQ(fmCreateMcastGroup(0, &g), FM_OK);
    fm_bool on = TRUE;
    ASSERT_EQ(fmSetMcastGroupAttribute(0, g, FM_MCASTGROUP_L3_SWITCHING_ONLY, &on), FM_OK);
    EXPECT_EQ(fmSetMcastGroupAttribute(0, g, FM_MCASTGROUP_L2_SWITCHING_ONLY, &on),
              FM_ERR_INVALID_ARGUMENT)
        << "L2-only and L3-only exclude each other";
    ASSERT_EQ(fmActivateMcastGroup(0, g), FM_OK);
    fm_bool off = FALSE;
    EXPECT_EQ(fmSetMcastGroupAttribute(0, g, FM_MCASTGROUP_L3_SWITCHING_ONLY, &off),
              FM_ERR_MCAST_GROUP_ACTIVE);
    EXPECT_EQ(fmDeleteMcastGroup(0, g), FM_ERR_MCAST_GROUP_ACTIVE);

    fm_multicastListener l{};
    l.vlan = 10;
    l.port = 3;
    ASSERT_EQ(fmAddMcastGroupListener(0, g, &l), FM_OK);
    EXPECT_EQ(fmAddMcastGroupListener(0, g, &l), FM_ERR_ALREADY_EXISTS);
    l.port = 60;
    EXPECT_EQ(fmAddMcastGroupListener(0, g, &l), FM_ERR_INVALID_PORT);
    l.port = 3;
    ASSERT_EQ(fmDeleteMcastGroupListener(0, g, &l), FM_OK);
    EXPECT_TRUE(fmsim_mcast_group(0, g).listeners.empty());

    ASSERT_EQ(fmDeactivateMcastGroup(0, g), FM_OK);
    EXPECT_EQ(fmDeleteMcastGroup(0, g), FM_OK);
    fm_int port;
    EXPECT_EQ(fmGetMcastGroupPort(0, g, &port), FM_ERR_INVALID_MULTICAST_GROUP);
}

}  // namespace
