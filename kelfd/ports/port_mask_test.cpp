// Port masks set and read directly, against fmsim: which ports are written,
// what a client's set means bit by bit, and what a failure reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "daemon.h"
#include "fmsim.h"
#include "ports.h"
#include "testing/harness.h"

namespace {

std::uint64_t bits(std::initializer_list<int> ports) {
    std::uint64_t m = 0;
    for (int p : ports) m |= 1ull << p;
    return m;
}

void put(std::uint8_t *set, std::initializer_list<int> ports) {
    for (int p : ports) set[p / 8] = static_cast<std::uint8_t>(set[p / 8] | (1u << (p % 8)));
}

kel_mask_t request(std::initializer_list<int> ingress, std::initializer_list<int> egress) {
    kel_mask_t m;
    std::memset(&m, 0, sizeof m);
    put(m.ingress, ingress);
    put(m.egress, egress);
    return m;
}

class PortMask : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(1); }
};

TEST_F(PortMask, SelectedPortsGetExactlyTheGivenSet) {
    std::uint64_t port3 = fmsim_port_mask(0, 3);
    kel_mask_t m = request({1, 2}, {4});
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), 0);
    EXPECT_EQ(fmsim_port_mask(0, 1), bits({4}));
    EXPECT_EQ(fmsim_port_mask(0, 2), bits({4}));
    EXPECT_EQ(fmsim_port_mask(0, 3), port3);

    // Port 0 and ports from 48 on are never set, whatever the client sends.
    std::memset(m.egress, 0xFF, sizeof m.egress);
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), 0);
    std::uint64_t all = 0;
    for (int p = 1; p <= 47; ++p) all |= 1ull << p;
    EXPECT_EQ(fmsim_port_mask(0, 1), all);

    // No egress port: the selected ports forward nowhere.
    m = request({47}, {});
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), 0);
    EXPECT_EQ(fmsim_port_mask(0, 47), 0u);
    EXPECT_EQ(fmsim_port_mask(0, 1), all);
    EXPECT_EQ(fmsim_calls("fmCreateBitArray"), fmsim_calls("fmDeleteBitArray"));
}

TEST_F(PortMask, SelectionsWithoutPorts1To47TouchNothing) {
    kel_mask_t empty = request({}, {4});
    kel_mask_t port0 = request({0}, {4});
    kel_mask_t high = request({}, {4});
    std::memset(high.ingress + 6, 0xFF, 10);
    for (kel_mask_t *m : {&empty, &port0, &high}) {
        kel_mask_t sent = *m;
        EXPECT_EQ(kel_set_port_mask_fn(0, m), 0);
        // A read with no port selected sends the record back as it came.
        EXPECT_EQ(kel_get_port_mask_fn(0, m), 0);
        EXPECT_EQ(std::memcmp(m, &sent, sizeof sent), 0);
    }
    EXPECT_EQ(fmsim_calls("fmCreateBitArray"), 0u);
    EXPECT_EQ(fmsim_calls("fmSetPortAttribute"), 0u);
    EXPECT_EQ(fmsim_calls("fmGetPortAttribute"), 0u);
}

TEST_F(PortMask, ReadAddsTheLowestSelectedPortsMaskToWhatTheClientSent) {
    kel_mask_t set = request({3}, {1, 7, 8, 47});
    ASSERT_EQ(kel_set_port_mask_fn(0, &set), 0);
    set = request({9}, {2});
    ASSERT_EQ(kel_set_port_mask_fn(0, &set), 0);

    kel_mask_t m = request({3, 9}, {20});
    std::memset(m.egress + 6, 0xA5, 10);
    kel_mask_t sent = m;
    EXPECT_EQ(kel_get_port_mask_fn(0, &m), 0);
    kel_mask_t want = sent;
    put(want.egress, {1, 7, 8, 47});
    EXPECT_EQ(std::memcmp(m.ingress, sent.ingress, sizeof m.ingress), 0);
    EXPECT_EQ(std::memcmp(m.egress, want.egress, sizeof m.egress), 0)
        << "port 9's mask, or a cleared byte, in the reply";
    EXPECT_EQ(fmsim_calls("fmCreateBitArray"), fmsim_calls("fmDeleteBitArray"));
}

TEST_F(PortMask, FullMeshReadsBackAsPorts1To47) {
    ASSERT_EQ(kel_set_cfg_fn(0, 6), 0);
    kel_mask_t m = request({1}, {});
    std::memset(m.egress + 6, 0x33, 10);
    EXPECT_EQ(kel_get_port_mask_fn(0, &m), 0);
    const std::uint8_t want[16] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x33, 0x33,
                                   0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33};
    EXPECT_EQ(std::memcmp(m.egress, want, 16), 0);
    // Masks are the switch's, not a configuration: the number stays.
    kel_mask_t s = request({1}, {2});
    EXPECT_EQ(kel_set_port_mask_fn(0, &s), 0);
    EXPECT_EQ(kel_get_cfg_fn(0), 6);
}

TEST_F(PortMask, AFailedBitStaysReportedAndEarlierWritesStay) {
    // The first port's bit fails, the second port goes well: the reply
    // still says the request was not carried out whole.
    kel_mask_t m = request({1, 2}, {4});
    fmsim_fail("fmSetBitArrayBit", 1, FM_ERR_INVALID_INDEX);
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), -1);
    EXPECT_EQ(fmsim_port_mask(0, 1), 0u);
    EXPECT_EQ(fmsim_port_mask(0, 2), bits({4}));

    fmsim_fail_clear();
    m = request({1, 2}, {6});
    fmsim_fail("fmSetBitArrayBit", fmsim_calls("fmSetBitArrayBit") + 2, FM_FAIL);
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), -1);
    EXPECT_EQ(fmsim_port_mask(0, 1), bits({6}));
    EXPECT_EQ(fmsim_port_mask(0, 2), 0u);
}

TEST_F(PortMask, SetFailuresOfTheSwitchAreReported) {
    std::uint64_t port1 = fmsim_port_mask(0, 1);
    kel_mask_t m = request({1}, {4});
    fmsim_fail("fmCreateBitArray", 1, FM_ERR_NO_MEM);
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), -1);
    EXPECT_EQ(fmsim_port_mask(0, 1), port1) << "written with an array never created";

    // The switch refusing the final mask leaves the port forwarding nowhere.
    fmsim_fail_clear();
    fmsim_fail("fmSetPortAttribute", fmsim_calls("fmSetPortAttribute") + 2, FM_FAIL);
    EXPECT_EQ(kel_set_port_mask_fn(0, &m), -1);
    EXPECT_EQ(fmsim_port_mask(0, 1), 0u);

    // A unit that names no switch writes nothing and says so.
    fmsim_fail_clear();
    for (int unit : {1, 8, -1}) EXPECT_EQ(kel_set_port_mask_fn(unit, &m), -1) << unit;
    EXPECT_EQ(fmsim_port_mask(0, 1), 0u);
}

TEST_F(PortMask, ReadFailuresAreReportedWithWhatWasGathered) {
    kel_mask_t set = request({5}, {1, 47});
    ASSERT_EQ(kel_set_port_mask_fn(0, &set), 0);

    // Bit 1 fails, bit 47 reads well: the reply is -1, port 47 is there.
    kel_mask_t m = request({5}, {});
    fmsim_fail("fmGetBitArrayBit", 1, FM_FAIL);
    EXPECT_EQ(kel_get_port_mask_fn(0, &m), -1);
    kel_mask_t want = request({5}, {47});
    EXPECT_EQ(std::memcmp(m.egress, want.egress, 16), 0);

    for (const char *op : {"fmCreateBitArray", "fmGetPortAttribute"}) {
        fmsim_fail_clear();
        fmsim_fail(op, fmsim_calls(op) + 1, FM_FAIL);
        m = request({5}, {9});
        EXPECT_EQ(kel_get_port_mask_fn(0, &m), -1) << op;
        want = request({5}, {9});
        EXPECT_EQ(std::memcmp(m.egress, want.egress, 16), 0) << op;
    }
    fmsim_fail_clear();
    m = request({5}, {});
    EXPECT_EQ(kel_get_port_mask_fn(3, &m), -1);
}

}  // namespace
