// fmsim's mirror groups: what is written reads back, walks are ordered, and
// the switch refuses what a switch would.
#include <gtest/gtest.h>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_mirror.h"

namespace {

class FmsimMirrorTest : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(2); }
};

TEST_F(FmsimMirrorTest, GroupsAndPortsReadBackInAscendingOrder) {
    for (fm_int grp : {30, 4, 17})
        ASSERT_EQ(fmCreateMirror(0, grp, grp, FM_MIRROR_TYPE_INGRESS), FM_OK);
    EXPECT_EQ(fmCreateMirror(0, 4, 4, FM_MIRROR_TYPE_INGRESS), FM_ERR_ALREADY_EXISTS);
    for (fm_int port : {9, 2, 40, 2}) ASSERT_EQ(fmAddMirrorPort(0, 17, port), FM_OK);

    std::vector<int> seen;
    fm_int grp, port;
    fm_mirrorType type;
    for (fm_status st = fmGetMirrorFirst(0, &grp, &port, &type); st == FM_OK;
         st = fmGetMirrorNext(0, grp, &grp, &port, &type)) {
        EXPECT_EQ(port, grp) << "each group was created with its own number as mirror port";
        seen.push_back(grp);
    }
    EXPECT_EQ(seen, (std::vector<int>{4, 17, 30}));

    seen.clear();
    fm_status st = fmGetMirrorPortFirst(0, 17, &port);
    while (st == FM_OK) {
        seen.push_back(port);
        st = fmGetMirrorPortNext(0, 17, port, &port);
    }
    EXPECT_EQ(st, FM_ERR_NO_MORE);
    EXPECT_EQ(seen, (std::vector<int>{2, 9, 40}));
    EXPECT_EQ(fmGetMirrorPortFirst(0, 4, &port), FM_ERR_NO_MORE);

    // The other switch has its own groups.
    EXPECT_EQ(fmGetMirrorFirst(1, &grp, &port, &type), FM_ERR_NO_MORE);
    EXPECT_EQ(fmsim_mirror_list(0), (std::vector<int>{4, 17, 30}));

    ASSERT_EQ(fmDeleteMirrorPort(0, 17, 9), FM_OK);
    EXPECT_EQ(fmDeleteMirrorPort(0, 17, 9), FM_ERR_NOT_FOUND);
    ASSERT_EQ(fmDeleteMirror(0, 17), FM_OK);
    EXPECT_FALSE(fmsim_mirror(0, 17).exists);
    EXPECT_EQ(fmsim_mirror_list(0), (std::vector<int>{4, 30}));
}

TEST_F(FmsimMirrorTest, AttributesReadBack) {
    ASSERT_EQ(fmCreateMirror(0, 10, 10, FM_MIRROR_TYPE_INGRESS), FM_OK);
    FmsimMirror m = fmsim_mirror(0, 10);
    EXPECT_EQ(m.vlan, -1);
    EXPECT_FALSE(m.acl);

    fm_int vlan = 100;
    fm_bool acl = TRUE;
    ASSERT_EQ(fmSetMirrorAttribute(0, 10, FM_MIRROR_VLAN, &vlan), FM_OK);
    ASSERT_EQ(fmSetMirrorAttribute(0, 10, FM_MIRROR_ACL, &acl), FM_OK);
    m = fmsim_mirror(0, 10);
    EXPECT_EQ(m.vlan, 100);
    EXPECT_TRUE(m.acl);
    fm_int got = 0;
    ASSERT_EQ(fmGetMirrorAttribute(0, 10, FM_MIRROR_VLAN, &got), FM_OK);
    EXPECT_EQ(got, 100);

    vlan = -1;
    ASSERT_EQ(fmSetMirrorAttribute(0, 10, FM_MIRROR_VLAN, &vlan), FM_OK);
    EXPECT_EQ(fmsim_mirror(0, 10).vlan, -1);
    for (fm_int bad : {0, 4096, -2}) {
        EXPECT_EQ(fmSetMirrorAttribute(0, 10, FM_MIRROR_VLAN, &bad), FM_ERR_INVALID_VLAN) << bad;
    }
    EXPECT_EQ(fmsim_mirror(0, 10).vlan, -1) << "a refused VLAN leaves the old one";
    EXPECT_EQ(fmSetMirrorAttribute(0, 10, 999, &vlan), FM_ERR_INVALID_ATTRIB);
    EXPECT_EQ(fmSetMirrorAttribute(0, 11, FM_MIRROR_ACL, &acl), FM_ERR_INVALID_MIRROR);
}

TEST_F(FmsimMirrorTest, RefusesUnknownSwitchGroupAndPort) {
    fm_int port;
    fm_mirrorType type;
    EXPECT_EQ(fmCreateMirror(5, 1, 1, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(fmCreateMirror(0, -1, 1, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmCreateMirror(0, FM_MAX_MIRRORS, 1, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmCreateMirror(0, 60, 60, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_PORT)
        << "port 60 does not exist";
    EXPECT_TRUE(fmsim_mirror_list(0).empty());

    ASSERT_EQ(fmCreateMirror(0, 3, 3, FM_MIRROR_TYPE_INGRESS), FM_OK);
    EXPECT_EQ(fmAddMirrorPort(0, 3, 99), FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmAddMirrorPort(0, 3, 3), FM_ERR_INVALID_PORT) << "the mirror port monitors itself";
    EXPECT_EQ(fmAddMirrorPort(0, 4, 1), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmGetMirror(0, 4, &port, &type), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmGetMirrorPortFirst(0, 4, &port), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmDeleteMirror(0, 4), FM_ERR_INVALID_MIRROR);
    EXPECT_TRUE(fmsim_mirror(0, 3).ports.empty());
    EXPECT_STRNE(fmErrorMsg(FM_ERR_INVALID_MIRROR), "Unknown error");
}

}  // namespace
