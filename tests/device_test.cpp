// Device commands through the real kelfd: statistics, port properties and
// platform hardware over the socket, each reply its documented size.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;

// A whole if_kel request, zeroed.
struct Request {
    std::vector<unsigned char> buf = std::vector<unsigned char>(sizeof(if_kel_t), 0);
    explicit Request(std::uint32_t cmd) { k().kel_cmd = static_cast<std::int32_t>(cmd); }
    if_kel_t &k() { return *reinterpret_cast<if_kel_t *>(buf.data()); }
};

std::int32_t status(const kelctl::Client &c, Request &r) {
    std::int32_t v = 0x7eadbeef;
    EXPECT_TRUE(c.status(r.buf.data(), r.buf.size(), &v));
    return v;
}

template <typename T>
T record(const kelctl::Client &c, Request &r) {
    T out;
    std::memset(&out, 0, sizeof out);
    kelctl::Status st = c.call(r.buf.data(), r.buf.size(), &out, sizeof out);
    EXPECT_TRUE(st) << st.message;
    return out;
}

TEST(Device, StatisticsAndPortPropertiesOverTheSocket) {
    DaemonProcess d;
    kelctl::Client c = d.client();

    Request stat(KEL_GET_STAT);
    stat.k().kel_mem.port = 5;
    EXPECT_EQ(record<kel_stat_t>(c, stat).ret_val, 0);
    stat.k().kel_mem.port = 50000;
    EXPECT_EQ(record<kel_stat_t>(c, stat).ret_val, -1);
    Request prio(KEL_GET_PRIO_STAT);
    prio.k().unit = 1;
    EXPECT_EQ(record<kel_stat_t>(c, prio).ret_val, -1) << "one switch only";
    Request reset(KEL_RESET_STAT);
    EXPECT_EQ(status(c, reset), 0);

    Request get_remain(KEL_GET_SW_REMAIN);
    EXPECT_EQ(status(c, get_remain), 1) << "the switches stay up unless told otherwise";
    Request set_remain(KEL_SET_SW_REMAIN);
    set_remain.k().val = 256;
    EXPECT_EQ(status(c, set_remain), 0);
    EXPECT_EQ(status(c, get_remain), 0);

    Request parser(KEL_SET_PORT_PARSER);
    parser.k().port = 3;
    parser.k().val = 5;
    EXPECT_EQ(status(c, parser), 0);
    Request get_parser(KEL_GET_PORT_PARSER);
    get_parser.k().port = 3;
    EXPECT_EQ(status(c, get_parser), 5);
    Request speed(KEL_GET_PORT_SPEED);
    speed.k().port = 49;
    EXPECT_EQ(status(c, speed), -1);

    Request prbs(KEL_SET_PRBS);
    prbs.k().val = 3;
    prbs.k().dev = 31;
    EXPECT_EQ(status(c, prbs), 0);
    std::vector<unsigned char> lbg(sizeof(if_kel_lbg_t), 0);
    auto *l = reinterpret_cast<if_kel_lbg_t *>(lbg.data());
    l->kel_cmd = KEL_GET_PORT_STATE;
    l->lbg = 3;
    kel_lbg_query_list_t state;
    ASSERT_TRUE(c.call(lbg.data(), lbg.size(), &state, sizeof state));
    EXPECT_EQ(state.ret, 0);
    EXPECT_EQ(state.kel_lbg_list.lbg_list[0], 3) << "the port is in self-test";
    EXPECT_EQ(state.kel_lbg_list.lbg_list[2], 32) << "checking the 2G pattern";
    EXPECT_TRUE(d.wait_out("numCardPorts 49\n"));
}

TEST(Device, PlatformHardwareOverTheSocket) {
    DaemonProcess d;
    kelctl::Client c = d.client();

    Request set_reg(KEL_SET_REG);
    set_reg.k().addr = 0x40;
    set_reg.k().val = -1;
    EXPECT_EQ(status(c, set_reg), 0);
    Request get_reg(KEL_GET_REG);
    get_reg.k().addr = 0x40;
    kel_rule_stat_t reg = record<kel_rule_stat_t>(c, get_reg);
    EXPECT_EQ(reg.ret_val, 0);
    EXPECT_EQ(reg.kel_rule_stat_cnt.counter, 0xFFFFFFFFull);

    Request phy(KEL_WRITE_PHY);
    phy.k().addr = 9;
    phy.k().val = 65541;
    EXPECT_EQ(status(c, phy), 0);
    Request read_phy(KEL_READ_PHY);
    read_phy.k().addr = 9;
    EXPECT_EQ(status(c, read_phy), 5);

    Request write(KEL_FCI_WRITE);
    write.k().dev = 0xA0;
    write.k().kel_query_list.kel_id_list.rule_num = 4;
    std::memcpy(write.buf.data() + offsetof(if_kel_t, kel_query_list.kel_id_list.id_list), "SFP+",
                4);
    EXPECT_EQ(record<kel_query_list_t>(c, write).ret, 0);
    Request read(KEL_FCI_READ);
    read.k().dev = 0xA0;
    read.k().kel_query_list.kel_id_list.rule_num = 4;
    kel_query_list_t back = record<kel_query_list_t>(c, read);
    EXPECT_EQ(back.ret, 0);
    EXPECT_EQ(std::memcmp(back.kel_id_list.id_list, "SFP+", 4), 0);

    read.k().kel_query_list.kel_id_list.rule_num = 8193;
    EXPECT_EQ(record<kel_query_list_t>(c, read).ret, -1);
    read.k().kel_query_list.kel_id_list.rule_num = 4;
    read.k().unit = 1;
    EXPECT_EQ(record<kel_query_list_t>(c, read).ret, -1);
}

}  // namespace
