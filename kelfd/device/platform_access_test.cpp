// Platform hardware commands through the dispatcher, the hardware read back
// from fmsim: what reaches each device, what comes back (every reply checked
// for its size where it is read), and the guards around the data buffer.
#include <climits>
#include <string>

#include "fm_sdk.h"
#include "fmsim_platform.h"
#include "testing/harness.h"

namespace {

using kelftest::Answer;
using kelftest::line;

constexpr std::size_t kData = offsetof(if_kel_t, kel_query_list.kel_id_list.id_list);

class PlatformAccess : public kelftest::DaemonTest {
protected:
    unsigned char *data() { return raw() + kData; }
    static const unsigned char *data(const Answer &a) { return a.reply.data() + 4; }
    static std::int32_t ret(const Answer &a) {
        std::int32_t r = 0x7eadbeef;
        if (a.reply.size() == 8200) std::memcpy(&r, a.reply.data() + 8196, 4);
        return r;
    }
};

TEST_F(PlatformAccess, PhyRegistersHoldSixteenBits) {
    EXPECT_EQ(run(KEL_WRITE_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC001, .val = 65541}).status(),
              0);
    EXPECT_EQ(fmsim_mdio_reg(0, 1, 3, 1, 0xC001), 5) << "only the low 16 bits are written";
    EXPECT_EQ(run(KEL_WRITE_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC002, .val = 0xFFFF}).status(),
              0);
    EXPECT_EQ(run(KEL_READ_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC002}).status(), 0xFFFF);
    EXPECT_EQ(run(KEL_READ_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC001}).status(), 5);
    EXPECT_EQ(run(KEL_READ_PHY, {.unit = 1, .phy_addr = 3, .dev = 1, .addr = 0xC001}).status(), 0);

    // A failed read is -1, which no register value can be.
    Answer a = run(KEL_READ_PHY, {.phy_addr = 32});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, line("get fmPlatformMdioRead", FM_ERR_INVALID_ARGUMENT));
    a = run(KEL_WRITE_PHY, {.unit = 3});
    EXPECT_EQ(a.status(), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(a.out, line("get fmPlatformMdioWrite", FM_ERR_INVALID_SWITCH));
}

TEST_F(PlatformAccess, GpioLinesAndSwitchRegisters) {
    EXPECT_EQ(run(KEL_SET_GPIO_DIR, {.dev = 6, .addr = FM_PLAT_GPIO_DIR_OUTPUT, .val = 1}).status(),
              0);
    EXPECT_EQ(run(KEL_GET_GPIO_DIR, {.dev = 6}).status(), FM_PLAT_GPIO_DIR_OUTPUT);
    EXPECT_EQ(run(KEL_GET_GPIO, {.dev = 6}).status(), 1);
    EXPECT_EQ(run(KEL_SET_GPIO, {.dev = 6, .val = 0}).status(), 0);
    int dir = -1, value = -1;
    fmsim_gpio_line(0, 6, &dir, &value);
    EXPECT_EQ(value, 0);
    // Reads answer -1 on failure, writes the platform's status.
    EXPECT_EQ(run(KEL_GET_GPIO_DIR, {.dev = FM_PLAT_NUM_GPIO}).status(), -1);
    EXPECT_EQ(run(KEL_GET_GPIO, {.unit = 2}).status(), -1);
    EXPECT_EQ(run(KEL_SET_GPIO, {.dev = 7, .val = 1}).status(), FM_ERR_INVALID_STATE);
    for (int bad : {3, -1, INT_MAX})
        EXPECT_EQ(run(KEL_SET_GPIO_DIR, {.dev = 6, .addr = bad}).status(), FM_ERR_INVALID_ARGUMENT);
    fmsim_gpio_line(0, 6, &dir, &value);
    EXPECT_EQ(dir, FM_PLAT_GPIO_DIR_OUTPUT);

    EXPECT_EQ(run(KEL_SET_REG, {.addr = 0x123456, .val = -1}).status(), 0);
    std::uint32_t v = 0;
    ASSERT_TRUE(fmsim_csr(0, 0x123456, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    auto r = run(KEL_GET_REG, {.addr = 0x123456}).as<kel_rule_stat_t>();
    EXPECT_EQ(r.ret_val, 0);
    EXPECT_EQ(r.kel_rule_stat_cnt.counter, 0xFFFFFFFFull) << "widened without sign";
    r = run(KEL_GET_REG, {.addr = FM_PLAT_CSR_MAX_ADDR + 1}).as<kel_rule_stat_t>();
    EXPECT_EQ(r.ret_val, -1);
    EXPECT_EQ(r.kel_rule_stat_cnt.counter, 0u);
    EXPECT_EQ(run(KEL_SET_REG, {.unit = 4}).status(), FM_ERR_INVALID_SWITCH);
}

TEST_F(PlatformAccess, ByteDevicesGetTheRightLengthsAndReadBackWrites) {
    struct {
        std::uint32_t write, read;
        FmsimI2cBus bus;
    } devices[] = {{KEL_BP_WRITE, KEL_BP_READ, FmsimI2cBus::Bypass},
                   {KEL_TEMP_WRITE, KEL_TEMP_READ, FmsimI2cBus::Temp},
                   {KEL_TEMP1_WRITE, KEL_TEMP1_READ, FmsimI2cBus::Temp1}};
    const unsigned char bytes[] = {0x10, 0xDE, 0xAD, 0xBE};
    for (const auto &d : devices) {
        // Register 0x10 onwards gets three bytes.
        request(d.write, {.dev = 0x21, .count = 4});
        std::memcpy(data(), bytes, sizeof bytes);
        EXPECT_EQ(ret(run()), FM_OK);
        FmsimI2cTransfer t = fmsim_i2c_last(0, d.bus);
        EXPECT_EQ(t.device, 0x21);
        EXPECT_EQ(t.write_length, 4);
        EXPECT_EQ(t.read_length, 0);
        EXPECT_EQ(fmsim_i2c_reg(0, d.bus, 0x21, 0x12), 0xBE);

        // Select the register, then read from it.
        request(d.write, {.dev = 0x21, .count = 1});
        data()[0] = 0x10;
        ASSERT_EQ(ret(run()), FM_OK);
        request(d.read, {.dev = 0x21, .count = 3});
        std::memset(data(), 0x77, 8);
        Answer a = run();
        EXPECT_EQ(ret(a), FM_OK);
        t = fmsim_i2c_last(0, d.bus);
        EXPECT_EQ(t.write_length, 0);
        EXPECT_EQ(t.read_length, 3);
        EXPECT_EQ(std::memcmp(data(a), bytes + 1, 3), 0);
        EXPECT_EQ(data(a)[3], 0x77) << "bytes beyond the count go back as sent";
        EXPECT_EQ(a.reply[0], 3) << "the count goes back as sent";
    }
    EXPECT_EQ(data(run(KEL_TEMP1_READ, {.dev = 0x4C, .count = 1}))[0], kFmsimTemp1Reading);
    EXPECT_EQ(ret(run(KEL_BP_READ, {.dev = 0x80, .count = 1})), FM_ERR_INVALID_ARGUMENT);
}

TEST_F(PlatformAccess, TransceiverMemoryWithASeparateReceiveSide) {
    request(KEL_FCI_WRITE, {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 5});
    std::memcpy(data(), "QSFP+", 5);
    EXPECT_EQ(ret(run()), FM_OK);
    request(KEL_FCI_RX_WRITE, {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 2});
    std::memcpy(data(), "rx", 2);
    EXPECT_EQ(ret(run()), FM_OK);
    for (auto [cmd, expect] : {std::pair{KEL_FCI_READ, "QSFP+"}, {KEL_FCI_RX_READ, "rx\0\0\0"}}) {
        Answer a = run(cmd, {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 5});
        EXPECT_EQ(ret(a), FM_OK);
        EXPECT_EQ(std::memcmp(data(a), expect, 5), 0) << cmd;
    }
    EXPECT_EQ(ret(run(KEL_FCI_WRITE, {.addr = FM_PLAT_XCVR_MEM_SIZE - 1, .count = 2})),
              FM_ERR_INVALID_ARGUMENT);
}

TEST_F(PlatformAccess, BlockGuardsAroundUnitAndCount) {
    const char *ops[] = {"fmPlatformFm10000BypassWriteRead", "fmPlatformFm10000TempWriteRead",
                         "fmPlatformFm10000Temp1WriteRead",  "fmPlatformXcvrMemRead",
                         "fmPlatformXcvrMemWrite",           "fmPlatformXcvrRxMemRead",
                         "fmPlatformXcvrRxMemWrite"};
    auto platform_calls = [&] {
        std::uint64_t n = 0;
        for (const char *op : ops) n += fmsim_calls(op);
        return n;
    };
    std::vector<std::uint32_t> cmds;
    for (std::uint32_t c :
         {KEL_BP_READ, KEL_BP_WRITE, KEL_TEMP_READ, KEL_TEMP_WRITE, KEL_TEMP1_READ, KEL_TEMP1_WRITE,
          KEL_FCI_READ, KEL_FCI_WRITE, KEL_FCI_RX_READ, KEL_FCI_RX_WRITE})
        cmds.push_back(c);
    // Units not brought up, and counts beyond the buffer, never reach the
    // platform; the buffer goes back as sent.
    for (std::uint32_t cmd : cmds) {
        for (auto [unit, count] :
             {std::pair{2, 4u}, {-1, 4u}, {INT_MIN, 4u}, {0, 8193u}, {0, ~0u}}) {
            request(cmd, {.unit = unit, .dev = 0x21, .count = count});
            for (int i = 0; i < KEL_QUERY_DATA_MAX; ++i)
                data()[i] = static_cast<unsigned char>(i * 7);
            Answer a = run();
            EXPECT_EQ(ret(a), -1) << cmd << " unit " << unit << " count " << count;
            for (int i = 0; i < KEL_QUERY_DATA_MAX; ++i)
                ASSERT_EQ(data(a)[i], static_cast<unsigned char>(i * 7)) << cmd;
        }
    }
    EXPECT_EQ(platform_calls(), 0u);

    // Count 0 still calls the platform, and its status is the answer.
    for (std::uint32_t cmd : cmds) EXPECT_EQ(ret(run(cmd, {.unit = 1, .dev = 0x21})), FM_OK) << cmd;
    EXPECT_EQ(platform_calls(), cmds.size());

    // A whole buffer is read, and nothing past it: the register record
    // behind the buffer stays as sent.
    if_kel_t &k = request(KEL_TEMP_READ, {.unit = 1, .dev = 0x4C, .count = KEL_QUERY_DATA_MAX});
    std::memset(&k.kel_rule_stat, 0x5A, sizeof k.kel_rule_stat);
    Answer a = run();
    EXPECT_EQ(ret(a), FM_OK);
    EXPECT_EQ(fmsim_i2c_last(1, FmsimI2cBus::Temp).read_length, KEL_QUERY_DATA_MAX);
    EXPECT_EQ(data(a)[0], kFmsimTempReading);
    EXPECT_EQ(data(a)[256], kFmsimTempReading) << "the register pointer wraps";
    for (std::size_t i = 0; i < sizeof(kel_rule_stat_t); ++i)
        EXPECT_EQ(raw()[offsetof(if_kel_t, kel_rule_stat) + i], 0x5A);
}

}  // namespace
