// fmsim's load-balancing groups: the map is the switch's own copy, a refused
// write changes nothing, and the list honours its maximum.
#include <gtest/gtest.h>

#include <memory>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_lbg.h"

namespace {

TEST(FmsimLbgTest, MapIsCopiedNumbersAreReusedListIsCapped) {
    fmsim_set_switches(1);
    fm_LBGParams p{8, FM_LBG_MODE_MAPPED};
    fm_int g = -1;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(fmCreateLBGExt(0, &g, &p), FM_OK);
    ASSERT_EQ(fmDeleteLBG(0, 1), FM_OK);
    ASSERT_EQ(fmCreateLBGExt(0, &g, &p), FM_OK);
    EXPECT_EQ(g, 1) << "the lowest free number";

    auto ports = std::make_unique<fm_int[]>(8);
    for (int i = 0; i < 8; ++i) ports[static_cast<size_t>(i)] = 1 + i % 2;
    fm_LBGDistributionMapRange r{0, 8, ports.get()};
    ASSERT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &r), FM_OK);
    ports.reset();  // the caller's array is gone; the switch keeps its copy
    fm_int back[3] = {};
    fm_LBGDistributionMapRange part{5, 3, back};
    ASSERT_EQ(fmGetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &part), FM_OK);
    EXPECT_EQ(back[2], 2);

    // Bins outside the group, or a port it does not have: the map stays.
    fm_int bad[4] = {3, 3, 3, 99};
    fm_LBGDistributionMapRange past{6, 4, bad}, unknown{0, 4, bad};
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &past),
              FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmSetLBGAttribute(0, g, FM_LBG_DISTRIBUTION_MAP_RANGE, &unknown),
              FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmsim_lbg(0, g).bins, (std::vector<int>{1, 2, 1, 2, 1, 2, 1, 2}));

    fm_int list[3] = {-1, -1, -1};
    fm_int n = -1;
    ASSERT_EQ(fmGetLBGList(0, &n, list, 2), FM_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(list[2], -1) << "nothing past the maximum is written";
}

}  // namespace
