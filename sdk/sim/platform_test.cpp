// fmsim's device side: port counters, the port state report, the dumps and
// the platform hardware, through the SDK calls the daemon makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_counters.h"
#include "fmsim_platform.h"

namespace {

class FmsimDevice : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(2); }
};

TEST_F(FmsimDevice, CountersAreKeptPerPortAndClearedByReset) {
    fm_portCounters c;
    std::memset(&c, 0, sizeof c);
    c.cntRxUcstPkts = 11;
    c.cntRxPriorityOctets[15] = 99;
    ASSERT_TRUE(fmsim_set_port_counters(1, 50002, c));
    fm_portCounters r;
    ASSERT_EQ(fmGetPortCounters(1, 50002, &r), FM_OK);
    EXPECT_EQ(r.cntVersion, static_cast<fm_uint32>(FM_PORT_COUNTERS_VERSION));
    EXPECT_EQ(r.cntRxUcstPkts, 11u);
    EXPECT_EQ(r.cntRxPriorityOctets[15], 99u);
    ASSERT_EQ(fmGetPortCounters(0, 50002, &r), FM_OK);
    EXPECT_EQ(r.cntRxUcstPkts, 0u);
    ASSERT_EQ(fmResetPortCounters(1, 50002), FM_OK);
    ASSERT_EQ(fmGetPortCounters(1, 50002, &r), FM_OK);
    EXPECT_EQ(r.cntRxPriorityOctets[15], 0u);

    EXPECT_EQ(fmGetPortCounters(0, 49, &r), FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmResetPortCounters(2, 1), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(fmGetPortCounters(0, 1, nullptr), FM_ERR_INVALID_ARGUMENT);
    EXPECT_FALSE(fmsim_set_port_counters(0, 50004, c));
}

TEST_F(FmsimDevice, PortStateReportsModeStateAndInfo) {
    fm_int mode = -1, state = -1, info[FM_PORT_INFO_WORDS] = {-1, -1, -1, -1};
    ASSERT_EQ(fmGetPortState(0, 3, &mode, &state, info), FM_OK);
    EXPECT_EQ(mode, FM_PORT_STATE_ADMIN_DOWN);
    EXPECT_EQ(state, FM_PORT_STATE_DOWN);
    EXPECT_EQ(info[FM_PORT_INFO_SUBMODE], 0);
    EXPECT_EQ(info[FM_PORT_INFO_SPEED], 25000);
    ASSERT_EQ(fmSetPortState(0, 3, FM_PORT_STATE_UP, 0), FM_OK);
    ASSERT_EQ(fmGetPortState(0, 3, &mode, &state, info), FM_OK);
    EXPECT_EQ(state, FM_PORT_STATE_UP);
    ASSERT_EQ(fmSetPortState(0, 3, FM_PORT_STATE_BIST, FM_BIST_TX_PRBS_32K), FM_OK);
    ASSERT_EQ(fmGetPortState(0, 3, &mode, &state, info), FM_OK);
    EXPECT_EQ(mode, FM_PORT_STATE_BIST);
    EXPECT_EQ(info[FM_PORT_INFO_SUBMODE], FM_BIST_TX_PRBS_32K);
    EXPECT_EQ(fmGetPortState(0, 49, &mode, &state, info), FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmGetPortState(5, 3, &mode, &state, info), FM_ERR_INVALID_SWITCH);
}

TEST_F(FmsimDevice, DumpsDescribeTheRealState) {
    ASSERT_EQ(fmSetPortState(1, 4, FM_PORT_STATE_UP, 0), FM_OK);
    fm_uint32 parser = 3;
    ASSERT_EQ(fmSetPortAttribute(1, 4, FM_PORT_PARSER, &parser), FM_OK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fmDbgDumpScheduler(1), FM_OK);
    EXPECT_EQ(fmDbgDumpPortAttributes(1, 4), FM_OK);
    EXPECT_NE(fmDbgDumpPortAttributes(1, 49), FM_OK);
    EXPECT_NE(fmDbgDumpScheduler(3), FM_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("1 active ports, 25000 Mb/s"), std::string::npos) << out;
    EXPECT_NE(out.find("FM_PORT_PARSER                       3\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("port 49"), std::string::npos) << "a refused dump prints nothing";
}

TEST_F(FmsimDevice, MdioCellsAreDistinctAndAddressesChecked) {
    ASSERT_EQ(fmPlatformMdioWrite(0, 1, 2, 3, 4, 0xABCD), FM_OK);
    fm_uint16 v = 0;
    for (auto [bus, phy, dev, reg] :
         {std::tuple{0, 2, 3, 4}, {1, 1, 3, 4}, {1, 2, 2, 4}, {1, 2, 3, 5}}) {
        ASSERT_EQ(fmPlatformMdioRead(0, bus, phy, dev, reg, &v), FM_OK);
        EXPECT_EQ(v, 0);
    }
    ASSERT_EQ(fmPlatformMdioRead(0, 1, 2, 3, 4, &v), FM_OK);
    EXPECT_EQ(v, 0xABCD);
    for (auto [bus, phy, dev, reg] : {std::tuple{FM_PLAT_NUM_MDIO_BUS, 0, 0, 0},
                                      {0, 32, 0, 0},
                                      {0, 0, 32, 0},
                                      {0, 0, 0, 0x10000},
                                      {-1, 0, 0, 0}}) {
        EXPECT_EQ(fmPlatformMdioWrite(0, bus, phy, dev, reg, 1), FM_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(fmPlatformMdioRead(0, bus, phy, dev, reg, &v), FM_ERR_INVALID_ARGUMENT);
    }
    EXPECT_EQ(fmPlatformMdioRead(2, 1, 2, 3, 4, &v), FM_ERR_INVALID_SWITCH);
}

TEST_F(FmsimDevice, ByteDeviceWritesThenReadsInOneTransfer) {
    // Write register 0xFE and 0xFF and, wrapping, 0x00; then read from 0xFF.
    fm_byte w[] = {0xFE, 1, 2, 3};
    ASSERT_EQ(fmPlatformFm10000BypassWriteRead(0, 0x50, w, 4, 0), FM_OK);
    EXPECT_EQ(fmsim_i2c_reg(0, FmsimI2cBus::Bypass, 0x50, 0), 3);
    fm_byte rw[3] = {0xFF, 0, 0};
    ASSERT_EQ(fmPlatformFm10000BypassWriteRead(0, 0x50, rw, 1, 3), FM_OK);
    EXPECT_EQ(rw[0], 2);
    EXPECT_EQ(rw[1], 3);
    EXPECT_EQ(rw[2], 0);
    EXPECT_EQ(fmsim_i2c_pointer(0, FmsimI2cBus::Bypass, 0x50), 2);
    EXPECT_EQ(fmsim_i2c_last(0, FmsimI2cBus::Bypass).transfers, 2u);
    EXPECT_EQ(fmsim_i2c_reg(0, FmsimI2cBus::Temp, 0x50, 0xFF), 0) << "buses are separate";

    EXPECT_EQ(fmPlatformFm10000TempWriteRead(0, 0x50, nullptr, 0, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformFm10000TempWriteRead(0, 0x50, rw, -1, 0), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformFm10000Temp1WriteRead(0, -1, rw, 1, 0), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformFm10000Temp1WriteRead(0, 3, nullptr, 0, 0), FM_OK);
}

TEST_F(FmsimDevice, RegistersAndTransceiverMemoryReadBack) {
    ASSERT_EQ(fmPlatformWriteUnlockCSR(1, FM_PLAT_CSR_MAX_ADDR, 0x80000001u), FM_OK);
    fm_uint32 v = 0;
    ASSERT_EQ(fmPlatformReadUnlockCSR(1, FM_PLAT_CSR_MAX_ADDR, &v), FM_OK);
    EXPECT_EQ(v, 0x80000001u);
    ASSERT_EQ(fmPlatformReadUnlockCSR(0, FM_PLAT_CSR_MAX_ADDR, &v), FM_OK);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(fmPlatformWriteUnlockCSR(1, FM_PLAT_CSR_MAX_ADDR + 1, 1), FM_ERR_INVALID_ARGUMENT);

    fm_byte page[FM_PLAT_XCVR_MEM_SIZE];
    for (int i = 0; i < FM_PLAT_XCVR_MEM_SIZE; ++i) page[i] = static_cast<fm_byte>(255 - i);
    ASSERT_EQ(fmPlatformXcvrMemWrite(0, 63, 0xA2, 0, page, FM_PLAT_XCVR_MEM_SIZE), FM_OK);
    fm_byte back[FM_PLAT_XCVR_MEM_SIZE] = {};
    ASSERT_EQ(fmPlatformXcvrMemRead(0, 63, 0xA2, 0, back, FM_PLAT_XCVR_MEM_SIZE), FM_OK);
    EXPECT_EQ(std::memcmp(page, back, sizeof page), 0);
    ASSERT_EQ(fmPlatformXcvrRxMemRead(0, 63, 0xA2, 0, back, 4), FM_OK);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 64, 0xA2, 0, back, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 0, 256, 0, back, 1), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemRead(0, 0, 0, 1, back, FM_PLAT_XCVR_MEM_SIZE),
              FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrMemWrite(0, 0, 0, 0x7FFFFFFF, back, 2), FM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fmPlatformXcvrRxMemWrite(0, 0, 0, -1, back, 1), FM_ERR_INVALID_ARGUMENT);
}

}  // namespace
