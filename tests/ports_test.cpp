// Operating configurations and port masks through the real kelfd.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;

std::int32_t set_cfg(const kelfclient::Client &c, std::int32_t unit, std::int32_t cfg) {
    std::vector<unsigned char> buf(sizeof(if_kel_t), 0);
    auto *k = reinterpret_cast<if_kel_t *>(buf.data());
    k->kel_cmd = KEL_SET_CFG;
    k->unit = unit;
    k->cfg = cfg;
    std::int32_t r = 0x7eadbeef;
    EXPECT_TRUE(c.status(buf.data(), buf.size(), &r));
    return r;
}

if_kel_mask_t mask_request(std::uint32_t cmd, std::uint8_t ingress0, std::uint8_t egress0) {
    if_kel_mask_t m;
    std::memset(&m, 0, sizeof m);
    m.kel_cmd = cmd;
    m.mask.ingress[0] = ingress0;
    m.mask.egress[0] = egress0;
    return m;
}

TEST(Ports, ConfigurationAndMasksOverTheSocket) {
    DaemonProcess d;
    kelfclient::Client c = d.client();

    EXPECT_EQ(set_cfg(c, 0, 6), 0);
    EXPECT_EQ(set_cfg(c, 0, 7), -1);
    EXPECT_TRUE(d.wait_out("ERROR: cfg 7 is out of range.\n"));
    EXPECT_EQ(set_cfg(c, 0, 3), -1);
    EXPECT_TRUE(d.wait_out("ERROR: unsupported configuration 3\n"));
    std::int32_t r = 0;
    ASSERT_TRUE(c.command(KEL_GET_CFG, 0, &r));
    EXPECT_EQ(r, 6);
    ASSERT_TRUE(c.command(KEL_GET_CFG, 1, &r));
    EXPECT_EQ(r, -1) << "only one switch runs";

    // The read answers with the mask record alone: ingress as sent, the
    // mask of port 1 in egress, the result last.
    if_kel_mask_t get = mask_request(KEL_GET_PORT_MASK, 0x02, 0);
    std::memset(get.mask.egress + 6, 0x11, 10);
    kel_mask_t reply;
    ASSERT_TRUE(c.call(&get, sizeof get, &reply, sizeof reply));
    const std::uint8_t want[16] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x11,
                                   0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(std::memcmp(reply.ingress, get.mask.ingress, 16), 0);
    EXPECT_EQ(std::memcmp(reply.egress, want, 16), 0);
    EXPECT_EQ(reply.ret_val, 0);

    if_kel_mask_t set = mask_request(KEL_SET_PORT_MASK, 0x06, 0x10);
    ASSERT_TRUE(c.status(&set, sizeof set, &r));
    EXPECT_EQ(r, 0);
    for (std::uint8_t port : {2, 3}) {
        get = mask_request(KEL_GET_PORT_MASK, static_cast<std::uint8_t>(1u << port), 0);
        ASSERT_TRUE(c.call(&get, sizeof get, &reply, sizeof reply));
        EXPECT_EQ(reply.egress[0], port == 2 ? 0x10 : 0xFE) << int(port);
        EXPECT_EQ(reply.ret_val, 0);
    }
}

}  // namespace
