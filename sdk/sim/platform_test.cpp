// fmsim's device side beyond what the daemon's commands reach: a byte
// device transfer that writes and reads at once, address checks, the
// scheduler dump.
#include <gtest/gtest.h>

#include <string>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_platform.h"

namespace {

class FmsimDevice : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(2); }
};

TEST_F(FmsimDevice, ByteDeviceWritesThenReadsInOneTransferAndWraps) {
    // Registers 0xFE, 0xFF and, wrapping, 0x00; then a read from 0xFF.
    fm_byte w[] = {0xFE, 1, 2, 3};
    ASSERT_EQ(fmPlatformFm10000BypassWriteRead(0, 0x50, w, 4, 0), FM_OK);
    EXPECT_EQ(fmsim_i2c_reg(0, FmsimI2cBus::Bypass, 0x50, 0), 3);
    fm_byte rw[3] = {0xFF, 0, 0};
    ASSERT_EQ(fmPlatformFm10000BypassWriteRead(0, 0x50, rw, 1, 3), FM_OK);
    EXPECT_EQ(rw[0], 2);
    EXPECT_EQ(rw[1], 3);
    EXPECT_EQ(rw[2], 0);
    EXPECT_EQ(fmsim_i2c_pointer(0, FmsimI2cBus::Bypass, 0x50), 2);
    EXPECT_EQ(fmsim_i2c_reg(0, FmsimI2cBus::Temp, 0x50, 0xFF), 0) << "buses are separate";
}

TEST_F(FmsimDevice, AddressesOutsideTheHardwareAreRefused) {
    fm_uint16 v16 = 0;
    for (auto [bus, phy, dev, reg] : {std::tuple{FM_PLAT_NUM_MDIO_BUS, 0, 0, 0},
                                      {0, 32, 0, 0},
                                      {0, 0, 32, 0},
                                      {0, 0, 0, 0x10000},
                                      {-1, 0, 0, 0}}) {
        EXPECT_EQ(fmPlatformMdioWrite(0, bus, phy, dev, reg, 1), FM_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(fmPlatformMdioRead(0, bus, phy, dev, reg, &v16), FM_ERR_INVALID_ARGUMENT);
    }
    fm_byte b[FM_PLAT_XCVR_MEM_SIZE] = {};
    EXPECT_EQ(fmPlatformFm10000TempWriteRead(0, 0x50, nullptr, 0, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformFm10000TempWriteRead(0, 0x50, b, -1, 0), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformFm10000Temp1WriteRead(2, 0x50, b, 1, 0), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, FM_PLAT_NUM_XCVR, 0, 0, b, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 0, 256, 0, b, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 0, 0, 1, b, FM_PLAT_XCVR_MEM_SIZE), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemWrite(0, 0, 0, 0x7FFFFFFF, b, 2), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrRxMemWrite(0, 0, 0, -1, b, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 63, 255, 0, b, FM_PLAT_XCVR_MEM_SIZE), FM_OK);
    fm_uint32 v32 = 0;
    EXPECT_EQ(fmPlatformReadUnlockCSR(1, FM_PLAT_CSR_MAX_ADDR + 1, &v32), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformWriteUnlockCSR(1, FM_PLAT_CSR_MAX_ADDR, 1), FM_OK);
}

TEST_F(FmsimDevice, SchedulerDumpCountsThePortsThatRun) {
    ASSERT_EQ(fmSetPortState(1, 4, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_EQ(fmSetPortState(1, 41, FM_PORT_STATE_BIST, FM_BIST_TX_PRBS_128), FM_OK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fmDbgDumpScheduler(1), FM_OK);
    EXPECT_NE(fmDbgDumpScheduler(2), FM_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Scheduler of switch 1: 2 active ports, 75000 Mb/s\n"), 0u) << out;
    EXPECT_EQ(out.find("switch 2"), std::string::npos) << "a refused dump prints nothing";
}

}  // namespace
