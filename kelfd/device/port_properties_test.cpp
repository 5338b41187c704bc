// Port property commands through the dispatcher, the switch state read back
// from fmsim: what each command writes, what it answers, and what a refusal
// or an SDK failure leaves.
#include <climits>
#include <string>

#include "fm_sdk.h"
#include "fmsim_vlan.h"
#include "testing/harness.h"

namespace {

using kelftest::Answer;
using kelftest::Fields;
using kelftest::line;

std::int32_t attr(int sw, int port, int a) {
    std::int32_t v = -12345;
    EXPECT_TRUE(fmsim_port_attr(sw, port, a, &v));
    return v;
}

using PortProperties = kelftest::DaemonTest;

TEST_F(PortProperties, SpeedAndModeOfPorts1To48Only) {
    fm_int speed = 10000;
    ASSERT_EQ(fmSetPortAttribute(0, 48, FM_PORT_SPEED, &speed), FM_OK);
    EXPECT_EQ(run(KEL_GET_PORT_SPEED, {.port = 1}).status(), 25000);
    EXPECT_EQ(run(KEL_GET_PORT_SPEED, {.port = 48}).status(), 10000);
    EXPECT_EQ(run(KEL_GET_PORT_ETH_MODE, {.port = 1}).status(), FM_ETH_MODE_25GBASE_SR);
    EXPECT_EQ(run(KEL_GET_PORT_ETH_MODE, {.port = 48}).status(), FM_ETH_MODE_DISABLED);
    std::uint64_t calls = fmsim_calls("fmGetPortAttribute");
    for (int port : {0, 49, -1, 50000}) {
        EXPECT_EQ(run(KEL_GET_PORT_SPEED, {.port = port}).status(), -1);
        EXPECT_EQ(run(KEL_GET_PORT_ETH_MODE, {.port = port}).status(), -1);
    }
    EXPECT_EQ(fmsim_calls("fmGetPortAttribute"), calls);

    Answer a = run(KEL_GET_PORT_SPEED, {.unit = 5, .port = 1});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, line("fmGetPortAttribute FM_PORT_SPEED", FM_ERR_INVALID_SWITCH));
    a = run(KEL_GET_PORT_ETH_MODE, {.unit = 5, .port = 1});
    EXPECT_EQ(a.out,
              line("fmGetPortAttribute FM_PORT_ETHERNET_INTERFACE_MODE", FM_ERR_INVALID_SWITCH));
}

TEST_F(PortProperties, AttributePairsWriteAndAnswerTheirValues) {
    // The client's parser values are the switch's plus 2.
    EXPECT_EQ(run(KEL_SET_PORT_PARSER, {.port = 4, .val = 2}).status(), 0);
    EXPECT_EQ(attr(0, 4, FM_PORT_PARSER), 0);
    EXPECT_EQ(run(KEL_SET_PORT_PARSER, {.port = 4, .val = 4}).status(), 0);
    EXPECT_EQ(attr(0, 4, FM_PORT_PARSER), FM_PORT_PARSER_DEEPEST);
    EXPECT_EQ(run(KEL_GET_PORT_PARSER, {.port = 4}).status(), 4);
    EXPECT_EQ(attr(0, 5, FM_PORT_PARSER), 0) << "other ports keep theirs";

    EXPECT_EQ(run(KEL_SET_RFRAME_UPDATE, {.port = 7, .val = 0x7F01}).status(), 0);
    EXPECT_EQ(attr(0, 7, FM_PORT_ROUTED_FRAME_UPDATE_FIELDS), 0x7F01);
    EXPECT_EQ(run(KEL_GET_RFRAME_UPDATE, {.port = 7}).status(), 0x7F01);

    // What the switch cannot hold it refuses, with its reason, and keeps
    // the value it had: a parse deeper than its deepest or below 0 (the
    // extremes wrap like the 32-bit value, without overflow), update bits
    // past its fields (a mask with the top bit would read back as -1).
    for (int val : {5, 1, INT_MIN, INT_MAX}) {
        Answer a = run(KEL_SET_PORT_PARSER, {.port = 4, .val = val});
        EXPECT_EQ(a.status(), -1) << val;
        EXPECT_EQ(a.out, line("fmSetPortAttribute FM_PORT_PARSER", FM_ERR_INVALID_VALUE)) << val;
    }
    EXPECT_EQ(run(KEL_GET_PORT_PARSER, {.port = 4}).status(), 4);
    for (int val : {0x10000, -1, INT_MIN}) {
        Answer a = run(KEL_SET_RFRAME_UPDATE, {.port = 7, .val = val});
        EXPECT_EQ(a.status(), -1) << val;
        EXPECT_EQ(a.out, line("fmSetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS",
                              FM_ERR_INVALID_VALUE))
            << val;
    }
    EXPECT_EQ(run(KEL_GET_RFRAME_UPDATE, {.port = 7}).status(), 0x7F01);

    // The TTL flag is the low byte of val and reads back without sign.
    EXPECT_EQ(run(KEL_SET_TTL_UPDATE, {.port = 7, .val = 0x100}).status(), 0);
    EXPECT_EQ(attr(0, 7, FM_PORT_UPDATE_TTL), 0);
    EXPECT_EQ(run(KEL_SET_TTL_UPDATE, {.port = 7, .val = 0x1FF}).status(), 0);
    EXPECT_EQ(run(KEL_GET_TTL_UPDATE, {.port = 7}).status(), 255);

    struct {
        std::uint32_t cmd;
        const char *text;
    } fails[] = {
        {KEL_SET_PORT_PARSER, "fmSetPortAttribute FM_PORT_PARSER"},
        {KEL_GET_PORT_PARSER, "fmGetPortAttribute FM_PORT_PARSER"},
        {KEL_SET_RFRAME_UPDATE, "fmSetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS"},
        {KEL_GET_RFRAME_UPDATE, "fmGetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS"},
        {KEL_SET_TTL_UPDATE, "fmSetPortAttribute FM_PORT_UPDATE_TTL"},
        {KEL_GET_TTL_UPDATE, "fmGetPortAttribute FM_PORT_UPDATE_TTL"},
    };
    for (const auto &f : fails) {
        Answer a = run(f.cmd, {.port = 49, .val = 1});
        EXPECT_EQ(a.status(), -1) << f.text;
        EXPECT_EQ(a.out, line(f.text, FM_ERR_INVALID_PORT));
    }
}

TEST_F(PortProperties, StayUpFlagKeepsTheLowByteAndNeedsNoUnit) {
    EXPECT_EQ(run(KEL_GET_SW_REMAIN).status(), 1);
    EXPECT_EQ(run(KEL_SET_SW_REMAIN, {.val = 256}).status(), 0);
    EXPECT_EQ(sw_remain, 0);
    EXPECT_EQ(run(KEL_SET_SW_REMAIN, {.unit = 99, .val = -1}).status(), 0);
    EXPECT_EQ(run(KEL_GET_SW_REMAIN, {.unit = -7}).status(), 255);
}

TEST_F(PortProperties, PrbsPatternsSelectTheirSubmodes) {
    struct {
        int order, tx, rx;
    } table[] = {{7, 9, 29}, {9, 1, 21}, {11, 13, 33}, {15, 10, 30}, {23, 11, 31}, {31, 12, 32}};
    for (const auto &t : table) {
        for (int addr : {5, 0}) {
            EXPECT_EQ(
                run(KEL_SET_PRBS, {.unit = 1, .dev = t.order, .addr = addr, .val = 12}).status(),
                0);
            int mode = -1, submode = -1;
            fmsim_port_state(1, 12, &mode, &submode);
            EXPECT_EQ(mode, FM_PORT_STATE_BIST);
            EXPECT_EQ(submode, addr ? t.tx : t.rx) << "order " << t.order;
        }
    }
    // Unknown orders and units not brought up never reach the switch.
    std::uint64_t calls = fmsim_calls("fmSetPortState");
    for (auto [unit, order] : {std::pair{0, 8}, {0, 0}, {0, -7}, {2, 7}, {-1, 7}, {INT_MIN, 7}})
        EXPECT_EQ(run(KEL_SET_PRBS, {.unit = unit, .dev = order, .val = 3}).status(), -1);
    EXPECT_EQ(fmsim_calls("fmSetPortState"), calls);

    Answer a = run(KEL_SET_PRBS, {.dev = 7, .val = 49});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, line("fmSetPortState MODE BIST", FM_ERR_INVALID_PORT));
}

TEST_F(PortProperties, LoopbackModesSuppressionAndStatus) {
    for (int mode : {1, 2, 0}) {
        Answer a = run(KEL_SET_LOOPBACK, {.dev = 6, .val = mode});
        EXPECT_EQ(a.status(), 0);
        EXPECT_EQ(attr(0, 6, FM_PORT_LOOPBACK), mode);
        EXPECT_EQ(attr(0, 6, FM_PORT_LOOPBACK_SUPPRESSION), mode == 0 ? 1 : 0);
    }
    fmsim_reset();
    for (int mode : {3, -1, INT_MAX})
        EXPECT_EQ(run(KEL_SET_LOOPBACK, {.dev = 6, .val = mode}).status(), -1);
    EXPECT_EQ(fmsim_calls("fmSetPortAttribute") + fmsim_calls("fmSetPortAttributeV2"), 0u);

    // A failed write is answered even when the read-back works; a failed
    // read-back after a good write is answered too. Nothing is printed.
    fmsim_fail("fmSetPortAttributeV2", 1, FM_ERR_UNSUPPORTED);
    fmsim_fail("fmGetPortAttributeV2", 2, FM_ERR_INVALID_STATE);
    for (fm_status expected : {FM_ERR_UNSUPPORTED, FM_ERR_INVALID_STATE, FM_OK}) {
        Answer a = run(KEL_SET_LOOPBACK, {.dev = 6, .val = 1});
        EXPECT_EQ(a.status(), expected);
        EXPECT_EQ(a.out, "");
    }
}

class VlanPromiscuity : public PortProperties {
protected:
    void SetUp() override {
        PortProperties::SetUp();
        for (int v = 1; v <= FM_MAX_VLAN; ++v)
            ASSERT_EQ(fmCreateVlan(0, static_cast<fm_uint16>(v)), FM_OK);
    }
};

TEST_F(VlanPromiscuity, JoinsVlans2To4095TaggedOrElseUntagged) {
    // The switch refuses the tagged membership in VLAN 2 only.
    fmsim_fail("fmAddVlanPort", 1, FM_ERR_UNSUPPORTED);
    Answer a = run(KEL_ADD_VLAN_PROMISC, {.port = 9});
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.out, "") << "a refused tag alone prints nothing";
    EXPECT_FALSE(fmsim_vlan_member(0, 1, 9).member);
    FmsimVlanMember m = fmsim_vlan_member(0, 2, 9);
    EXPECT_TRUE(m.member && !m.tagged);
    EXPECT_EQ(m.stp_state, FM_STP_STATE_FORWARDING);
    for (int v : {3, 4095}) {
        m = fmsim_vlan_member(0, v, 9);
        EXPECT_TRUE(m.member && m.tagged) << v;
        EXPECT_EQ(m.stp_state, FM_STP_STATE_FORWARDING) << v;
    }
    EXPECT_EQ(run(KEL_DEL_VLAN_PROMISC, {.port = 9}).status(), 0);
    for (int v : {2, 3, 4095}) EXPECT_FALSE(fmsim_vlan_member(0, v, 9).member) << v;
}

TEST_F(VlanPromiscuity, EveryVlanIsTriedAndTheLastCallAnswers) {
    // Both attempts fail in VLAN 10 (call 9, one call per VLAN before it).
    fmsim_fail("fmAddVlanPort", 9, FM_ERR_UNSUPPORTED, 2);
    fmsim_fail("fmSetVlanPortState", 4094, FM_ERR_INVALID_STATE);
    Answer a = run(KEL_ADD_VLAN_PROMISC, {.port = 9});
    EXPECT_EQ(a.status(), FM_ERR_INVALID_STATE);
    EXPECT_EQ(a.out, line("fmAddVlanPort", FM_ERR_UNSUPPORTED) +
                         line("fmSetVlanPortState", FM_ERR_INVALID_PORT) +
                         line("fmSetVlanPortState", FM_ERR_INVALID_STATE));
    EXPECT_FALSE(fmsim_vlan_member(0, 10, 9).member);
    EXPECT_TRUE(fmsim_vlan_member(0, 11, 9).member);

    // A port in no VLAN: every removal fails, reported once.
    a = run(KEL_DEL_VLAN_PROMISC, {.port = 10});
    EXPECT_EQ(a.status(), FM_ERR_NOT_FOUND);
    EXPECT_EQ(a.out, line("fmDeleteVlanPort", FM_ERR_NOT_FOUND));
    fmsim_fail("fmDeleteVlanPort", 2 * 4094, FM_FAIL);
    EXPECT_EQ(run(KEL_DEL_VLAN_PROMISC, {.port = 9}).status(), FM_FAIL);
    // A failure before the last VLAN is not hidden by the ones after it.
    ASSERT_EQ(run(KEL_ADD_VLAN_PROMISC, {.port = 9}).status(), 0);
    fmsim_fail("fmDeleteVlanPort", fmsim_calls("fmDeleteVlanPort") + 1, FM_FAIL);
    EXPECT_EQ(run(KEL_DEL_VLAN_PROMISC, {.port = 9}).status(), FM_FAIL);
    EXPECT_TRUE(fmsim_vlan_member(0, 2, 9).member);
    EXPECT_FALSE(fmsim_vlan_member(0, 4094, 9).member);
}

// A unit or port that does not exist fails every one of the 8,188 calls:
// the request prints each distinct failure once, not 8,188 lines.
TEST_F(VlanPromiscuity, AMissingUnitOrPortPrintsEachFailureOnce) {
    for (Fields f : {Fields{.unit = 7, .port = 9}, Fields{.port = 4000}, Fields{.unit = -1}}) {
        Answer add = run(KEL_ADD_VLAN_PROMISC, f);
        EXPECT_NE(add.status(), 0);
        EXPECT_LE(std::count(add.out.begin(), add.out.end(), '\n'), 3) << add.out;
        Answer del = run(KEL_DEL_VLAN_PROMISC, f);
        EXPECT_NE(del.status(), 0);
        EXPECT_EQ(std::count(del.out.begin(), del.out.end(), '\n'), 1) << del.out;
    }
}

TEST_F(PortProperties, PortStateFillsSixEntriesAndPrintsTheSwitch) {
    ASSERT_EQ(fmSetPortState(0, 8, FM_PORT_STATE_BIST, FM_BIST_RX_PRBS_2G), FM_OK);
    fm_int lb = 2;
    ASSERT_EQ(fmSetPortAttributeV2(0, 8, -1, -1, FM_PORT_LOOPBACK, &lb), FM_OK);
    request(KEL_GET_PORT_STATE);
    if_kel_lbg_t &r = d_.buffer().lbg;
    r.lbg = 8;
    r.kel_query_list.kel_lbg_list.lbg_num = 77;
    for (int i = 0; i < 32; ++i) r.kel_query_list.kel_lbg_list.lbg_list[i] = 1000 + i;
    Answer a = run();
    auto rec = a.as<kel_lbg_query_list_t>();
    EXPECT_EQ(rec.ret, 0);
    EXPECT_EQ(rec.kel_lbg_list.lbg_num, 77);
    const std::int32_t expected[6] = {FM_PORT_STATE_BIST,     FM_PORT_STATE_BIST,
                                      FM_BIST_RX_PRBS_2G,     2,
                                      FM_ETH_MODE_25GBASE_SR, 25000};
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(rec.kel_lbg_list.lbg_list[i], i < 6 ? expected[i] : 1000 + i) << i;

    fm_switchInfo info;
    ASSERT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    char text[1024];
    std::snprintf(text, sizeof text,
                  "ebiClock %d\nfhRefClock %d\nversion 0x%x\npartNumber 0x%x\njtagId 0x%x\n"
                  "switchFamily %d\nswitchModel %d\nswitchVersion %d\nnumPorts %d\n"
                  "numCardPorts %d\nmaxVLAN %d\nmaxPortMirrors %d\nmaxTrigs %d\nmaxLags %d\n"
                  "maxPortsPerLag %d\nmaxVlanCounters %d\nmemorySize %d\n"
                  "availableMemorySize %d\npackageType %d\nup %d\n",
                  info.ebiClock, info.fhRefClock, info.version, info.partNumber, info.jtagId,
                  info.switchFamily, info.switchModel, info.switchVersion, info.numPorts,
                  info.numCardPorts, info.maxVLAN, info.maxPortMirrors, info.maxTrigs, info.maxLags,
                  info.maxPortsPerLag, info.maxVlanCounters, info.memorySize,
                  info.availableMemorySize, info.packageType, info.up);
    std::size_t at = a.out.find(text);
    ASSERT_NE(at, std::string::npos) << a.out;
    EXPECT_GT(at, 0u) << "the scheduler dump comes first";
    EXPECT_NE(a.out.find("FM_PORT_LOOPBACK", at), std::string::npos)
        << "then the port's attributes";

    // Unknown port, switch without a description: the list stays as sent,
    // zeros are printed and the failure is reported last.
    fmsim_fail("fmGetSwitchInfo", fmsim_calls("fmGetSwitchInfo") + 1);
    r.lbg = 50004;
    a = run();
    rec = a.as<kel_lbg_query_list_t>();
    EXPECT_EQ(rec.ret, -1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(rec.kel_lbg_list.lbg_list[i], expected[i]);
    EXPECT_NE(a.out.find("ebiClock 0\nfhRefClock 0\nversion 0x0\n"), std::string::npos) << a.out;
    std::string tail = line("fm GetPortState", FM_ERR_INVALID_PORT);
    EXPECT_EQ(a.out.substr(a.out.size() - tail.size()), tail);
    EXPECT_EQ(d_.ret_fn(), -1);
}

}  // namespace
