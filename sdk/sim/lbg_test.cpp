// fmsim's load-balancing groups: the map is the switch's own copy, and a
// refused write changes nothing.
#include <gtest/gtest.h>

#include <memory>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_lbg.h"

namespace {

class FmsimLbgTest : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(1); }

    fm_int create(fm_int bins = 8) {
        fm_LBGParams p{bins, FM_LBG_MODE_MAPPED};
        fm_int n = -1;
        EXPECT_EQ(fmCreateLBGExt(0, &n, &p), FM_OK);
        return n;
    }
};

TEST_F(FmsimLbgTest, TheMapIsCopiedAndReadsBack) {
    fm_int g = create();
    EXPECT_EQ(fmsim_lbg(0, g).state, FM_LBG_STATE_INACTIVE);
    auto ports = std::make_unique<fm_int[]>(8);
    for (int i = 0; i < 8; ++i) ports[static_cast<size_t>(i)] = 1 + i % 2;
    fm_LBGDistributionMapRange r{0, 8, ports.get()};
    ASSERT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &r), FM_OK);
    ports.reset();  // the caller's array is gone; the switch keeps its copy

    fm_int back[3] = {};
    fm_LBGDistributionMapRange part{5, 3, back};
    ASSERT_EQ(fmGetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &part), FM_OK);
    EXPECT_EQ(back[0], 2);
    EXPECT_EQ(back[1], 1);
    EXPECT_EQ(back[2], 2);

    // Bins outside the group, or a port it does not have: the map stays.
    fm_int bad[4] = {3, 3, 3, 99};
    fm_LBGDistributionMapRange past{6, 4, bad};
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &past),
              FM_ERR_INVALID_ARGUMENT);
    fm_LBGDistributionMapRange unknown{0, 4, bad};
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &unknown),
              FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmsim_lbg(0, g).bins, (std::vector<int>{1, 2, 1, 2, 1, 2, 1, 2}));

    fm_uint32 state = 7;
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_STATE, &state), FM_ERR_INVALID_VALUE);
    state = FM_LBG_STATE_ACTIVE;
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_STATE, &state), FM_OK);
    EXPECT_EQ(fmsim_lbg(0, g).state, FM_LBG_STATE_ACTIVE);
}

TEST_F(FmsimLbgTest, NumbersAreReusedAndTheListHonoursItsMaximum) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(create(), i);
    ASSERT_EQ(fmDeleteLBG(0, 1), FM_OK);
    EXPECT_EQ(fmDeleteLBG(0, 1), FM_ERR_INVALID_LBG);
    EXPECT_EQ(create(), 1) << "the lowest free number";

    fm_int list[4] = {-1, -1, -1, -1};
    fm_int n = -1;
    ASSERT_EQ(fmGetLBGList(0, &n, list, 3), FM_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(list[2], 2);
    EXPECT_EQ(list[3], -1) << "nothing past the maximum is written";

    while (fmsim_lbg_list(0).size() < FM_MAX_LBGS) create();
    fm_LBGParams p{8, FM_LBG_MODE_MAPPED};
    EXPECT_EQ(fmCreateLBGExt(0, &n, &p), FM_ERR_TABLE_FULL);
    p = {0, FM_LBG_MODE_MAPPED};
    ASSERT_EQ(fmDeleteLBG(0, 0), FM_OK);
    EXPECT_EQ(fmCreateLBGExt(0, &n, &p), FM_ERR_INVALID_ARGUMENT) << "a mapped group needs bins";
}

}  // namespace
