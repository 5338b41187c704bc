// fmsim's hash profiles: the record's profile picks where it goes, and
// masks wider than their field are refused.
#include <gtest/gtest.h>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_hash.h"

namespace {

TEST(FmsimHashTest, ProfilesAreKeptApartAndFieldWidthsChecked) {
    fmsim_set_switches(2);
    fm_L2HashKey k{};
    k.profileIndex = 7;
    ASSERT_EQ(fmGetSwitchAttribute(1, FM_L2_HASH_KEY, &k), FM_OK);
    EXPECT_EQ(k.profileIndex, 7);
    k.etherTypeMask = 0x8100;
    ASSERT_EQ(fmSetSwitchAttribute(1, FM_L2_HASH_KEY, &k), FM_OK);

    fm_L2HashKey got{};
    ASSERT_TRUE(fmsim_l2_hash(1, 7, &got));
    EXPECT_EQ(got.etherTypeMask, 0x8100u);
    ASSERT_TRUE(fmsim_l2_hash(1, 0, &got));
    EXPECT_EQ(got.etherTypeMask, 0xFFFFu);
    ASSERT_TRUE(fmsim_l2_hash(0, 7, &got));
    EXPECT_EQ(got.etherTypeMask, 0xFFFFu) << "each switch has its own profiles";

    fm_L2HashKey wide = k;
    wide.vlanId2Mask = 0x1000;
    EXPECT_EQ(fmSetSwitchAttribute(1, FM_L2_HASH_KEY, &wide), FM_ERR_INVALID_VALUE);
    wide = k;
    wide.SMACMask = 1ull << 48;
    EXPECT_EQ(fmSetSwitchAttribute(1, FM_L2_HASH_KEY, &wide), FM_ERR_INVALID_VALUE);

    fm_L3HashConfig c{};
    c.profileIndex = -1;
    EXPECT_EQ(fmGetSwitchAttribute(0, FM_L3_HASH_CONFIG, &c), FM_ERR_INVALID_INDEX);
    c.profileIndex = FM_HASH_PROFILES;
    EXPECT_EQ(fmSetSwitchAttribute(0, FM_L3_HASH_CONFIG, &c), FM_ERR_INVALID_INDEX);
    EXPECT_FALSE(fmsim_l3_hash(0, FM_HASH_PROFILES, &c));
}

}  // namespace
