// fmsim's mirror groups: ordered walks, attributes that read back, and what
// the switch refuses.
#include <gtest/gtest.h>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_mirror.h"

namespace {

TEST(FmsimMirrorTest, WalksAreOrderedAndAttributesReadBack) {
    fmsim_set_switches(2);
    for (fm_int grp : {30, 4, 17})
        ASSERT_EQ(fmCreateMirror(0, grp, grp, FM_MIRROR_TYPE_INGRESS), FM_OK);
    EXPECT_EQ(fmCreateMirror(0, 4, 4, FM_MIRROR_TYPE_INGRESS), FM_ERR_ALREADY_EXISTS);
    std::vector<int> seen;
    fm_int grp, port;
    fm_mirrorType type;
    for (fm_status st = fmGetMirrorFirst(0, &grp, &port, &type); st == FM_OK;
         st = fmGetMirrorNext(0, grp, &grp, &port, &type))
        seen.push_back(grp);
    EXPECT_EQ(seen, (std::vector<int>{4, 17, 30}));
    EXPECT_EQ(fmGetMirrorFirst(1, &grp, &port, &type), FM_ERR_NO_MORE) << "mirrors are per switch";

    fm_int vlan = 100;
    fm_bool acl = TRUE;
    ASSERT_EQ(fmSetMirrorAttribute(0, 17, FM_MIRROR_VLAN, &vlan), FM_OK);
    ASSERT_EQ(fmSetMirrorAttribute(0, 17, FM_MIRROR_ACL, &acl), FM_OK);
    for (fm_int bad : {0, 4096, -2})
        EXPECT_EQ(fmSetMirrorAttribute(0, 17, FM_MIRROR_VLAN, &bad), FM_ERR_INVALID_VLAN) << bad;
    FmsimMirror m = fmsim_mirror(0, 17);
    EXPECT_EQ(m.vlan, 100) << "a refused VLAN leaves the old one";
    EXPECT_TRUE(m.acl);
    EXPECT_FALSE(fmsim_mirror(0, 4).acl);
    fm_int got = 0;
    ASSERT_EQ(fmGetMirrorAttribute(0, 17, FM_MIRROR_VLAN, &got), FM_OK);
    EXPECT_EQ(got, 100);

    EXPECT_EQ(fmCreateMirror(5, 1, 1, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(fmCreateMirror(0, FM_MAX_MIRRORS, 1, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_MIRROR);
    EXPECT_EQ(fmCreateMirror(0, 60, 60, FM_MIRROR_TYPE_INGRESS), FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmAddMirrorPort(0, 4, 4), FM_ERR_INVALID_PORT) << "the mirror port monitors itself";
    EXPECT_EQ(fmSetMirrorAttribute(0, 5, FM_MIRROR_ACL, &acl), FM_ERR_INVALID_MIRROR);
}

}  // namespace
