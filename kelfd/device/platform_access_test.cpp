// Platform hardware commands through the dispatcher, the hardware read back
// from fmsim: reply shapes, what reaches each device, and the guards around
// the 8192-byte data buffer.
#include <climits>
#include <string>

#include "device/device_test.h"
#include "fm_sdk.h"
#include "fmsim_platform.h"

namespace {

using devtest::Answer;

class PlatformAccess : public devtest::DeviceTest {
protected:
    // A block request: count bytes, the data buffer filled from fill.
    if_kel_t &block(std::uint32_t cmd, std::uint32_t count, int dev = 0x48, int unit = 0) {
        if_kel_t &k = request(cmd);
        k.unit = unit;
        k.dev = dev;
        k.kel_query_list.kel_id_list.rule_num = count;
        return k;
    }
    static unsigned char *data(if_kel_t &k) {
        return reinterpret_cast<unsigned char *>(&k) +
               offsetof(if_kel_t, kel_query_list.kel_id_list.id_list);
    }
    static const unsigned char *data(const Answer &a) { return a.reply.data() + 4; }
    static std::int32_t ret(const Answer &a) {
        std::int32_t r;
        std::memcpy(&r, a.reply.data() + 8196, 4);
        return r;
    }
};

TEST_F(PlatformAccess, EveryCommandAnswersWithItsShape) {
    struct {
        std::uint32_t cmd;
        std::size_t size;
    } shapes[] = {{KEL_READ_PHY, 4},       {KEL_WRITE_PHY, 4},      {KEL_CPLD_READ, 4},
                  {KEL_CPLD_WRITE, 4},     {KEL_BP_READ, 8200},     {KEL_BP_WRITE, 8200},
                  {KEL_GET_GPIO_DIR, 4},   {KEL_SET_GPIO_DIR, 4},   {KEL_GET_GPIO, 4},
                  {KEL_SET_GPIO, 4},       {KEL_GET_REG, 12},       {KEL_SET_REG, 4},
                  {KEL_TEMP_READ, 8200},   {KEL_TEMP_WRITE, 8200},  {KEL_TEMP1_READ, 8200},
                  {KEL_TEMP1_WRITE, 8200}, {KEL_FCI_READ, 8200},    {KEL_FCI_WRITE, 8200},
                  {KEL_FCI_RX_READ, 8200}, {KEL_FCI_RX_WRITE, 8200}};
    for (const auto &s : shapes) {
        for (int unit : {0, 7, -1}) {
            request(s.cmd).unit = unit;
            Answer a = run();
            EXPECT_EQ(a.reply.size(), s.size) << s.cmd << " unit " << unit;
        }
    }
    // The no-action codes touch no hardware.
    request(KEL_CPLD_WRITE).val = 1;
    EXPECT_EQ(run().status(), 0);
}

TEST_F(PlatformAccess, PhyRegistersHoldSixteenBits) {
    if_kel_t &w = request(KEL_WRITE_PHY);
    w.phy_addr = 3;
    w.dev = 1;
    w.addr = 0xC001;
    w.val = 65541;
    EXPECT_EQ(run().status(), FM_OK);
    EXPECT_EQ(fmsim_mdio_reg(0, 1, 3, 1, 0xC001), 5) << "only the low 16 bits are written";
    w = request(KEL_WRITE_PHY);
    w.phy_addr = 3;
    w.dev = 1;
    w.addr = 0xC002;
    w.val = 0xFFFF;
    EXPECT_EQ(run().status(), FM_OK);

    if_kel_t &r = request(KEL_READ_PHY);
    r.phy_addr = 3;
    r.dev = 1;
    r.addr = 0xC002;
    EXPECT_EQ(run().status(), 0xFFFF) << "a full register is a positive value";
    r = request(KEL_READ_PHY);
    r.phy_addr = 3;
    r.dev = 1;
    r.addr = 0xC001;
    EXPECT_EQ(run().status(), 5);
    EXPECT_EQ(fmsim_mdio_reg(1, 1, 3, 1, 0xC001), 0) << "the other switch has its own PHYs";

    // A failed read is -1, which no register value can be.
    r = request(KEL_READ_PHY);
    r.phy_addr = 32;
    Answer a = run();
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out,
              std::string("get fmPlatformMdioRead: ") + fmErrorMsg(FM_ERR_INVALID_ARGUMENT) + "\n");
    w = request(KEL_WRITE_PHY);
    w.unit = 3;
    a = run();
    EXPECT_EQ(a.status(), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(a.out,
              std::string("get fmPlatformMdioWrite: ") + fmErrorMsg(FM_ERR_INVALID_SWITCH) + "\n");
}

TEST_F(PlatformAccess, GpioDirectionAndValue) {
    if_kel_t &k = request(KEL_SET_GPIO_DIR);
    k.dev = 6;
    k.addr = FM_PLAT_GPIO_DIR_OUTPUT;
    k.val = 1;
    EXPECT_EQ(run().status(), FM_OK);
    request(KEL_GET_GPIO_DIR).dev = 6;
    EXPECT_EQ(run().status(), FM_PLAT_GPIO_DIR_OUTPUT);
    request(KEL_GET_GPIO).dev = 6;
    EXPECT_EQ(run().status(), 1);
    k = request(KEL_SET_GPIO);
    k.dev = 6;
    k.val = 0;
    EXPECT_EQ(run().status(), FM_OK);
    int dir = -1, value = -1;
    fmsim_gpio_line(0, 6, &dir, &value);
    EXPECT_EQ(dir, FM_PLAT_GPIO_DIR_OUTPUT);
    EXPECT_EQ(value, 0);

    // Reads answer -1 on failure, writes the platform's status.
    request(KEL_GET_GPIO_DIR).dev = FM_PLAT_NUM_GPIO;
    EXPECT_EQ(run().status(), -1);
    request(KEL_GET_GPIO).unit = 2;
    EXPECT_EQ(run().status(), -1);
    k = request(KEL_SET_GPIO);
    k.dev = 7;  // an input line
    k.val = 1;
    EXPECT_EQ(run().status(), FM_ERR_INVALID_STATE);
    for (int bad : {3, -1, INT_MAX}) {
        k = request(KEL_SET_GPIO_DIR);
        k.dev = 6;
        k.addr = bad;
        EXPECT_EQ(run().status(), FM_ERR_INVALID_ARGUMENT) << bad;
    }
    fmsim_gpio_line(0, 6, &dir, &value);
    EXPECT_EQ(dir, FM_PLAT_GPIO_DIR_OUTPUT);
}

TEST_F(PlatformAccess, SwitchRegistersKeepAll32Bits) {
    if_kel_t &k = request(KEL_SET_REG);
    k.addr = 0x123456;
    k.val = -1;
    EXPECT_EQ(run().status(), FM_OK);
    std::uint32_t v = 0;
    ASSERT_TRUE(fmsim_csr(0, 0x123456, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);

    k = request(KEL_GET_REG);
    k.addr = 0x123456;
    std::memset(&k.kel_rule_stat, 0xEE, sizeof k.kel_rule_stat);
    Answer a = run();
    auto r = a.as<kel_rule_stat_t>();
    EXPECT_EQ(r.ret_val, 0);
    EXPECT_EQ(r.kel_rule_stat_cnt.counter, 0xFFFFFFFFull) << "widened without sign";

    // A failed read reports -1 and the cleared value.
    k = request(KEL_GET_REG);
    k.addr = FM_PLAT_CSR_MAX_ADDR + 1;
    std::memset(&k.kel_rule_stat, 0xEE, sizeof k.kel_rule_stat);
    r = run().as<kel_rule_stat_t>();
    EXPECT_EQ(r.ret_val, -1);
    EXPECT_EQ(r.kel_rule_stat_cnt.counter, 0u);
    k = request(KEL_SET_REG);
    k.unit = 4;
    EXPECT_EQ(run().status(), FM_ERR_INVALID_SWITCH);
}

TEST_F(PlatformAccess, ByteDevicesGetTheRightLengthsAndReadBackWrites) {
    struct {
        std::uint32_t write, read;
        FmsimI2cBus bus;
    } devices[] = {{KEL_BP_WRITE, KEL_BP_READ, FmsimI2cBus::Bypass},
                   {KEL_TEMP_WRITE, KEL_TEMP_READ, FmsimI2cBus::Temp},
                   {KEL_TEMP1_WRITE, KEL_TEMP1_READ, FmsimI2cBus::Temp1}};
    for (const auto &d : devices) {
        // Register 0x10 onwards gets three bytes.
        if_kel_t &w = block(d.write, 4, 0x21);
        const unsigned char bytes[] = {0x10, 0xDE, 0xAD, 0xBE};
        std::memcpy(data(w), bytes, sizeof bytes);
        Answer a = run();
        ASSERT_EQ(a.reply.size(), 8200u);
        EXPECT_EQ(ret(a), FM_OK);
        FmsimI2cTransfer t = fmsim_i2c_last(0, d.bus);
        EXPECT_EQ(t.device, 0x21);
        EXPECT_EQ(t.write_length, 4);
        EXPECT_EQ(t.read_length, 0);
        EXPECT_EQ(fmsim_i2c_reg(0, d.bus, 0x21, 0x12), 0xBE);

        // Select the register, then read from it.
        block(d.write, 1, 0x21);
        data(buffer().kel)[0] = 0x10;
        ASSERT_EQ(ret(run()), FM_OK);
        if_kel_t &r = block(d.read, 3, 0x21);
        std::memset(data(r), 0x77, 8);
        a = run();
        EXPECT_EQ(ret(a), FM_OK);
        t = fmsim_i2c_last(0, d.bus);
        EXPECT_EQ(t.write_length, 0);
        EXPECT_EQ(t.read_length, 3);
        EXPECT_EQ(std::memcmp(data(a), bytes + 1, 3), 0);
        EXPECT_EQ(data(a)[3], 0x77) << "bytes beyond the count go back as sent";
        std::uint32_t count;
        std::memcpy(&count, a.reply.data(), 4);
        EXPECT_EQ(count, 3u);
    }
    // A sensor reports its temperature in register 0.
    block(KEL_TEMP1_READ, 1, 0x4C);
    Answer a = run();
    EXPECT_EQ(data(a)[0], kFmsimTemp1Reading);
    // The platform's refusal comes back in ret.
    block(KEL_BP_READ, 1, 0x80);
    EXPECT_EQ(ret(run()), FM_ERR_INVALID_ARGUMENT);
}

TEST_F(PlatformAccess, TransceiverMemoryWithASeparateReceiveSide) {
    if_kel_t &w = block(KEL_FCI_WRITE, 5);
    w.phy_addr = 12;
    w.dev = 0xA0;
    w.addr = 20;
    std::memcpy(data(w), "QSFP+", 5);
    EXPECT_EQ(ret(run()), FM_OK);
    EXPECT_EQ(fmsim_xcvr_byte(0, false, 12, 0xA0, 24), '+');
    EXPECT_EQ(fmsim_xcvr_byte(0, true, 12, 0xA0, 24), 0);

    w = block(KEL_FCI_RX_WRITE, 2);
    w.phy_addr = 12;
    w.dev = 0xA0;
    w.addr = 20;
    std::memcpy(data(w), "rx", 2);
    EXPECT_EQ(ret(run()), FM_OK);

    for (auto [cmd, expect] : {std::pair{KEL_FCI_READ, "QSFP+"}, {KEL_FCI_RX_READ, "rx\0\0\0"}}) {
        if_kel_t &r = block(cmd, 5);
        r.phy_addr = 12;
        r.dev = 0xA0;
        r.addr = 20;
        Answer a = run();
        EXPECT_EQ(ret(a), FM_OK);
        EXPECT_EQ(std::memcmp(data(a), expect, 5), 0) << cmd;
    }
    // A transfer must end inside the device's memory.
    w = block(KEL_FCI_WRITE, 2);
    w.addr = FM_PLAT_XCVR_MEM_SIZE - 1;
    EXPECT_EQ(ret(run()), FM_ERR_INVALID_ARGUMENT);
}

TEST_F(PlatformAccess, BlockGuardsAroundUnitAndCount) {
    const std::uint32_t cmds[] = {KEL_BP_READ,     KEL_BP_WRITE,    KEL_TEMP_READ, KEL_TEMP_WRITE,
                                  KEL_TEMP1_READ,  KEL_TEMP1_WRITE, KEL_FCI_READ,  KEL_FCI_WRITE,
                                  KEL_FCI_RX_READ, KEL_FCI_RX_WRITE};
    const char *ops[] = {"fmPlatformFm10000BypassWriteRead", "fmPlatformFm10000TempWriteRead",
                         "fmPlatformFm10000Temp1WriteRead",  "fmPlatformXcvrMemRead",
                         "fmPlatformXcvrMemWrite",           "fmPlatformXcvrRxMemRead",
                         "fmPlatformXcvrRxMemWrite"};
    auto platform_calls = [&] {
        std::uint64_t n = 0;
        for (const char *op : ops) n += fmsim_calls(op);
        return n;
    };
    // Units not brought up, and counts beyond the buffer, never reach the
    // platform; the buffer goes back as sent.
    for (std::uint32_t cmd : cmds) {
        for (auto [unit, count] :
             {std::pair{2, 4u}, {-1, 4u}, {INT_MIN, 4u}, {0, 8193u}, {0, 0xFFFFFFFFu}}) {
            if_kel_t &k = block(cmd, count, 0x21, unit);
            for (int i = 0; i < KEL_QUERY_DATA_MAX; ++i)
                data(k)[i] = static_cast<unsigned char>(i * 7);
            Answer a = run();
            ASSERT_EQ(a.reply.size(), 8200u);
            EXPECT_EQ(ret(a), -1) << cmd << " unit " << unit << " count " << count;
            for (int i = 0; i < KEL_QUERY_DATA_MAX; ++i)
                ASSERT_EQ(data(a)[i], static_cast<unsigned char>(i * 7)) << cmd;
        }
    }
    EXPECT_EQ(platform_calls(), 0u);

    // Count 0 still calls the platform, and its status is the answer.
    std::uint64_t before = platform_calls();
    for (std::uint32_t cmd : cmds) {
        block(cmd, 0, 0x21, 1);
        EXPECT_EQ(ret(run()), FM_OK) << cmd;
    }
    EXPECT_EQ(platform_calls(), before + 10);
    EXPECT_EQ(fmsim_i2c_last(1, FmsimI2cBus::Temp).read_length, 0);

    // A whole buffer is read, and nothing past it: the register record
    // behind the buffer stays as sent.
    if_kel_t &k = block(KEL_TEMP_READ, KEL_QUERY_DATA_MAX, 0x4C, 1);
    std::memset(&k.kel_rule_stat, 0x5A, sizeof k.kel_rule_stat);
    Answer a = run();
    EXPECT_EQ(ret(a), FM_OK);
    EXPECT_EQ(fmsim_i2c_last(1, FmsimI2cBus::Temp).read_length, KEL_QUERY_DATA_MAX);
    EXPECT_EQ(data(a)[0], kFmsimTempReading);
    EXPECT_EQ(data(a)[256], kFmsimTempReading) << "the register wraps";
    const unsigned char *rs = buffer().raw + offsetof(if_kel_t, kel_rule_stat);
    for (std::size_t i = 0; i < sizeof(kel_rule_stat_t); ++i) EXPECT_EQ(rs[i], 0x5A);
}

}  // namespace
