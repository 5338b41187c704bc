// fmsim's own machinery: the fault list, call counting and bit arrays.
#include "fmsim.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fm_sdk.h"

namespace {

class Fmsim : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(1); }
};

TEST_F(Fmsim, FaultListFailsTheNamedCallOnly) {
    std::string err;
    ASSERT_TRUE(fmsim_fail_parse("fmGetSwitchInfo#2=5,fmIsPciePort", &err)) << err;
    fm_switchInfo info;
    fm_bool pcie;
    EXPECT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    EXPECT_EQ(fmGetSwitchInfo(0, &info), 5);
    EXPECT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    EXPECT_EQ(fmIsPciePort(0, 41, &pcie), FM_FAIL);
    EXPECT_EQ(fmIsPciePort(0, 41, &pcie), FM_OK);
    EXPECT_TRUE(pcie);
    EXPECT_EQ(fmsim_calls("fmGetSwitchInfo"), 3u);
}

TEST_F(Fmsim, OperationsAreListedBeforeTheirFirstCall) {
    // The list comes from what fmsim implements, not from what was called
    // (these may not have been, in a shuffled run); a fault's name is no
    // operation.
    fmsim_fail("fmNoSuchOperation");
    std::vector<std::string> ops = fmsim_operations();
    auto listed = [&](const char *name) {
        return std::find(ops.begin(), ops.end(), name) != ops.end();
    };
    EXPECT_TRUE(listed("fmDbgDumpScheduler"));
    EXPECT_TRUE(listed("fmPlatformIfindexSwitchGet"));
    EXPECT_TRUE(listed("fmCreateSemaphore"));
    EXPECT_FALSE(listed("fmNoSuchOperation"));
    EXPECT_TRUE(std::is_sorted(ops.begin(), ops.end()));
    EXPECT_GE(ops.size(), 100u);
}

TEST_F(Fmsim, MalformedFaultListsAreRefusedWhole) {
    for (const char *bad : {"", "#2", "fmX#0", "fmX#x", "fmX=abc", "fmX=0", "fm-X", "fmX,,fmY"}) {
        std::string err;
        EXPECT_FALSE(fmsim_fail_parse(bad, &err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
    std::string err;
    EXPECT_FALSE(fmsim_fail_parse("fmGetSwitchInfo,bad#", &err));
    fm_switchInfo info;
    EXPECT_EQ(fmGetSwitchInfo(0, &info), FM_OK) << "a refused list installs nothing";
}

TEST_F(Fmsim, ResetClearsFaultsAndCounts) {
    fmsim_fail("fmGetSwitchInfo", 1, FM_FAIL, -1);
    fm_switchInfo info;
    EXPECT_NE(fmGetSwitchInfo(0, &info), FM_OK);
    EXPECT_NE(fmGetSwitchInfo(0, &info), FM_OK);
    fmsim_reset();
    EXPECT_EQ(fmsim_calls("fmGetSwitchInfo"), 0u);
    EXPECT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    EXPECT_EQ(info.numCardPorts, 49);
}

TEST_F(Fmsim, DefaultPlatformTopology) {
    fm_int n = 0;
    ASSERT_EQ(fmPlatformGetNumSwitches(&n), FM_OK);
    EXPECT_EQ(n, 1);
    fm_int port = -1;
    EXPECT_EQ(fmMapCardinalPort(0, 48, &port, nullptr), FM_OK);
    EXPECT_EQ(port, 48);
    EXPECT_NE(fmMapCardinalPort(0, 49, &port, nullptr), FM_OK);
    fm_bool pcie = TRUE;
    EXPECT_EQ(fmIsPciePort(0, 40, &pcie), FM_OK);
    EXPECT_FALSE(pcie);
    EXPECT_EQ(fmIsPciePort(0, 41, &pcie), FM_OK);
    EXPECT_TRUE(pcie);
    EXPECT_TRUE(fmsim_port_exists(0, 50003));
    EXPECT_FALSE(fmsim_port_exists(0, 50004));
    EXPECT_FALSE(fmsim_port_exists(1, 1));
    fm_uint32 g1 = 0, g2 = 0;
    EXPECT_EQ(fmGetStackGlort(0, 1, &g1), FM_OK);
    EXPECT_EQ(fmGetStackGlort(0, 2, &g2), FM_OK);
    EXPECT_NE(g1, g2);
    EXPECT_NE(fmGetStackGlort(0, 49, &g1), FM_OK);
    fmsim_set_switches(3);
    EXPECT_EQ(fmPlatformGetNumSwitches(&n), FM_OK);
    EXPECT_EQ(n, 3);
}

TEST_F(Fmsim, BitArraysRefuseBitsOutsideTheirSize) {
    fm_bitArray a;
    ASSERT_EQ(fmCreateBitArray(&a, 48), FM_OK);
    EXPECT_EQ(fmSetBitArrayBit(&a, 47, TRUE), FM_OK);
    EXPECT_NE(fmSetBitArrayBit(&a, 48, TRUE), FM_OK);
    EXPECT_NE(fmSetBitArrayBit(&a, -1, TRUE), FM_OK);
    fm_bool v = FALSE;
    EXPECT_EQ(fmGetBitArrayBit(&a, 47, &v), FM_OK);
    EXPECT_TRUE(v);
    EXPECT_NE(fmGetBitArrayBit(&a, 48, &v), FM_OK);
    EXPECT_EQ(fmDeleteBitArray(&a), FM_OK);
}

TEST_F(Fmsim, PortMaskReadsBackAsFarAsTheArrayReaches) {
    fm_bitArray a;
    ASSERT_EQ(fmCreateBitArray(&a, 49), FM_OK);
    fmSetBitArrayBit(&a, 4, TRUE);
    fmSetBitArrayBit(&a, 48, TRUE);
    ASSERT_EQ(fmSetPortAttribute(0, 1, FM_PORT_MASK_WIDE, &a), FM_OK);
    EXPECT_EQ(fmsim_port_mask(0, 1), (1ull << 4) | (1ull << 48));
    fm_bitArray b;
    ASSERT_EQ(fmCreateBitArray(&b, 48), FM_OK);
    ASSERT_EQ(fmGetPortAttribute(0, 1, FM_PORT_MASK_WIDE, &b), FM_OK);
    fm_bool v = FALSE;
    fmGetBitArrayBit(&b, 4, &v);
    EXPECT_TRUE(v);
    fmDeleteBitArray(&a);
    fmDeleteBitArray(&b);
}

TEST_F(Fmsim, PortAttributesReadBackAndUnknownOnesAreRefused) {
    fm_int v = 15360;
    EXPECT_EQ(fmSetPortAttribute(0, 5, FM_PORT_MAX_FRAME_SIZE, &v), FM_OK);
    fm_int r = 0;
    EXPECT_EQ(fmGetPortAttribute(0, 5, FM_PORT_MAX_FRAME_SIZE, &r), FM_OK);
    EXPECT_EQ(r, 15360);
    EXPECT_EQ(fmSetPortAttribute(0, 5, 9999, &v), FM_ERR_INVALID_ATTRIB);
    EXPECT_EQ(fmSetPortAttribute(0, 49, FM_PORT_MAX_FRAME_SIZE, &v), FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmSetPortAttribute(1, 5, FM_PORT_MAX_FRAME_SIZE, &v), FM_ERR_INVALID_SWITCH);
    EXPECT_STRNE(fmErrorMsg(FM_ERR_INVALID_PORT), "");
}

}  // namespace
