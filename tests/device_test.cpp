// Device commands through the real kelfd: statistics, port properties and
// platform hardware over the socket, each reply its documented size.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;

// A whole if_kel request, zeroed, to be sent as it is.
struct Request {
    std::vector<unsigned char> buf = std::vector<unsigned char>(sizeof(if_kel_t), 0);
    explicit Request(std::uint32_t cmd) { k().kel_cmd = static_cast<std::int32_t>(cmd); }
    if_kel_t &k() { return *reinterpret_cast<if_kel_t *>(buf.data()); }
    // The reply, which must be exactly sizeof(T) bytes.
    template <typename T = std::int32_t>
    T ask(const kelfclient::Client &c) {
        T out{};
        kelfclient::Status st = c.call(buf.data(), buf.size(), &out, sizeof out);
        EXPECT_TRUE(st) << k().kel_cmd << ": " << st.message;
        return out;
    }
};

TEST(Device, StatisticsPropertiesAndHardwareOverTheSocket) {
    DaemonProcess d;
    kelfclient::Client c = d.client();

    Request stat(KEL_GET_STAT);
    stat.k().kel_mem.port = 5;
    EXPECT_EQ(stat.ask<kel_stat_t>(c).ret_val, 0);
    stat.k().kel_mem.port = 50000;
    EXPECT_EQ(stat.ask<kel_stat_t>(c).ret_val, -1);
    EXPECT_EQ(Request(KEL_RESET_STAT).ask(c), 0);

    EXPECT_EQ(Request(KEL_GET_SW_REMAIN).ask(c), 1) << "the switches stay up unless told otherwise";
    Request remain(KEL_SET_SW_REMAIN);
    remain.k().val = 256;
    EXPECT_EQ(remain.ask(c), 0);
    EXPECT_EQ(Request(KEL_GET_SW_REMAIN).ask(c), 0);

    Request parser(KEL_SET_PORT_PARSER);
    parser.k().port = 3;
    parser.k().val = 3;
    EXPECT_EQ(parser.ask(c), 0);
    parser.k().kel_cmd = KEL_GET_PORT_PARSER;
    EXPECT_EQ(parser.ask(c), 3);

    Request prbs(KEL_SET_PRBS);
    prbs.k().val = 3;
    prbs.k().dev = 31;
    EXPECT_EQ(prbs.ask(c), 0);
    Request state(KEL_GET_PORT_STATE);
    reinterpret_cast<if_kel_lbg_t *>(state.buf.data())->lbg = 3;
    kel_lbg_query_list_t s = state.ask<kel_lbg_query_list_t>(c);
    EXPECT_EQ(s.ret, 0);
    EXPECT_EQ(s.kel_lbg_list.lbg_list[0], 3) << "the port is in self-test";
    EXPECT_EQ(s.kel_lbg_list.lbg_list[2], 32) << "checking the 2G pattern";
    EXPECT_TRUE(d.wait_out("numCardPorts 49\n"));

    Request reg(KEL_SET_REG);
    reg.k().addr = 0x40;
    reg.k().val = -1;
    EXPECT_EQ(reg.ask(c), 0);
    reg.k().kel_cmd = KEL_GET_REG;
    kel_rule_stat_t r = reg.ask<kel_rule_stat_t>(c);
    EXPECT_EQ(r.ret_val, 0);
    EXPECT_EQ(r.kel_rule_stat_cnt.counter, 0xFFFFFFFFull);

    Request phy(KEL_WRITE_PHY);
    phy.k().addr = 9;
    phy.k().val = 65541;
    EXPECT_EQ(phy.ask(c), 0);
    phy.k().kel_cmd = KEL_READ_PHY;
    EXPECT_EQ(phy.ask(c), 5);

    Request xcvr(KEL_FCI_WRITE);
    xcvr.k().dev = 0xA0;
    xcvr.k().kel_query_list.kel_id_list.rule_num = 4;
    std::memcpy(xcvr.buf.data() + offsetof(if_kel_t, kel_query_list.kel_id_list.id_list), "SFP+",
                4);
    EXPECT_EQ(xcvr.ask<kel_query_list_t>(c).ret, 0);
    Request read(KEL_FCI_READ);
    read.k().dev = 0xA0;
    read.k().kel_query_list.kel_id_list.rule_num = 4;
    kel_query_list_t back = read.ask<kel_query_list_t>(c);
    EXPECT_EQ(back.ret, 0);
    EXPECT_EQ(std::memcmp(back.kel_id_list.id_list, "SFP+", 4), 0);
}

}  // namespace
