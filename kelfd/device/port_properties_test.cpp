// Port property commands through the dispatcher, the switch state read back
// from fmsim: what each command writes, what it answers, and what a refusal
// or an SDK failure leaves.
#include <climits>
#include <string>

#include "device/device_test.h"
#include "fm_sdk.h"
#include "fmsim_vlan.h"

namespace {

using devtest::Answer;

std::int32_t attr(int sw, int port, int a) {
    std::int32_t v = -12345;
    EXPECT_TRUE(fmsim_port_attr(sw, port, a, &v));
    return v;
}

class PortProperties : public devtest::DeviceTest {
protected:
    Answer port_cmd(std::uint32_t cmd, int port, int val = 0, int unit = 0) {
        if_kel_t &k = request(cmd);
        k.unit = unit;
        k.port = port;
        k.val = val;
        return run();
    }
};

TEST_F(PortProperties, SpeedAndModeOfPorts1To48Only) {
    fm_int speed = 10000;
    ASSERT_EQ(fmSetPortAttribute(0, 48, FM_PORT_SPEED, &speed), FM_OK);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_SPEED, 1).status(), 25000);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_SPEED, 48).status(), 10000);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_ETH_MODE, 1).status(), FM_ETH_MODE_25GBASE_SR);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_ETH_MODE, 48).status(), FM_ETH_MODE_DISABLED);
    std::uint64_t calls = fmsim_calls("fmGetPortAttribute");
    for (int port : {0, 49, -1, 50000})
        for (std::uint32_t cmd : {KEL_GET_PORT_SPEED, KEL_GET_PORT_ETH_MODE}) {
            Answer a = port_cmd(cmd, port);
            EXPECT_EQ(a.status(), -1) << port;
            EXPECT_EQ(a.out, "");
        }
    EXPECT_EQ(fmsim_calls("fmGetPortAttribute"), calls) << "refused ports never reach the switch";

    Answer a = port_cmd(KEL_GET_PORT_SPEED, 1, 0, 5);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, std::string("fmGetPortAttribute FM_PORT_SPEED: ") +
                         fmErrorMsg(FM_ERR_INVALID_SWITCH) + "\n");
    a = port_cmd(KEL_GET_PORT_ETH_MODE, 1, 0, 5);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, std::string("fmGetPortAttribute FM_PORT_ETHERNET_INTERFACE_MODE: ") +
                         fmErrorMsg(FM_ERR_INVALID_SWITCH) + "\n");
}

TEST_F(PortProperties, ParserValuesAreTheSwitchsPlusTwo) {
    EXPECT_EQ(port_cmd(KEL_SET_PORT_PARSER, 4, 2).status(), 0);
    EXPECT_EQ(attr(0, 4, FM_PORT_PARSER), 0);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_PARSER, 4).status(), 2);
    EXPECT_EQ(port_cmd(KEL_SET_PORT_PARSER, 4, 5).status(), 0);
    EXPECT_EQ(attr(0, 4, FM_PORT_PARSER), 3);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_PARSER, 4).status(), 5);
    // The extremes wrap like the switch's 32-bit value, without overflow.
    EXPECT_EQ(port_cmd(KEL_SET_PORT_PARSER, 4, INT_MIN).status(), 0);
    EXPECT_EQ(attr(0, 4, FM_PORT_PARSER), INT_MAX - 1);
    EXPECT_EQ(port_cmd(KEL_GET_PORT_PARSER, 4).status(), INT_MIN);
    EXPECT_EQ(attr(0, 5, FM_PORT_PARSER), 0) << "other ports keep theirs";

    Answer a = port_cmd(KEL_SET_PORT_PARSER, 49, 3);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, std::string("fmSetPortAttribute FM_PORT_PARSER: ") +
                         fmErrorMsg(FM_ERR_INVALID_PORT) + "\n");
    a = port_cmd(KEL_GET_PORT_PARSER, 49);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, std::string("fmGetPortAttribute FM_PORT_PARSER: ") +
                         fmErrorMsg(FM_ERR_INVALID_PORT) + "\n");
}

TEST_F(PortProperties, RoutedFrameFieldsAndTtlUpdate) {
    EXPECT_EQ(port_cmd(KEL_SET_RFRAME_UPDATE, 7, 0x7F01).status(), 0);
    EXPECT_EQ(attr(0, 7, FM_PORT_ROUTED_FRAME_UPDATE_FIELDS), 0x7F01);
    EXPECT_EQ(port_cmd(KEL_GET_RFRAME_UPDATE, 7).status(), 0x7F01);

    // The flag is the low byte of val, and reads back without sign.
    EXPECT_EQ(port_cmd(KEL_SET_TTL_UPDATE, 7, 0x100).status(), 0);
    EXPECT_EQ(attr(0, 7, FM_PORT_UPDATE_TTL), 0);
    EXPECT_EQ(port_cmd(KEL_GET_TTL_UPDATE, 7).status(), 0);
    EXPECT_EQ(port_cmd(KEL_SET_TTL_UPDATE, 7, 0x1FF).status(), 0);
    EXPECT_EQ(port_cmd(KEL_GET_TTL_UPDATE, 7).status(), 255);
    EXPECT_EQ(port_cmd(KEL_SET_TTL_UPDATE, 7, 1).status(), 0);
    EXPECT_EQ(port_cmd(KEL_GET_TTL_UPDATE, 7).status(), 1);

    struct {
        std::uint32_t cmd;
        const char *text;
    } fails[] = {
        {KEL_SET_RFRAME_UPDATE, "fmSetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS"},
        {KEL_GET_RFRAME_UPDATE, "fmGetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS"},
        {KEL_SET_TTL_UPDATE, "fmSetPortAttribute FM_PORT_UPDATE_TTL"},
        {KEL_GET_TTL_UPDATE, "fmGetPortAttribute FM_PORT_UPDATE_TTL"},
    };
    for (const auto &f : fails) {
        Answer a = port_cmd(f.cmd, 7, 1, -1);
        EXPECT_EQ(a.status(), -1) << f.text;
        EXPECT_EQ(a.out, std::string(f.text) + ": " + fmErrorMsg(FM_ERR_INVALID_SWITCH) + "\n");
    }
}

TEST_F(PortProperties, StayUpFlagKeepsTheLowByte) {
    EXPECT_EQ(port_cmd(KEL_GET_SW_REMAIN, 0).status(), 1);
    EXPECT_EQ(port_cmd(KEL_SET_SW_REMAIN, 0, 256).status(), 0);
    EXPECT_EQ(sw_remain, 0);
    EXPECT_EQ(port_cmd(KEL_GET_SW_REMAIN, 0).status(), 0);
    EXPECT_EQ(port_cmd(KEL_SET_SW_REMAIN, 0, -1).status(), 0);
    EXPECT_EQ(port_cmd(KEL_GET_SW_REMAIN, 0).status(), 255);
    // No unit is involved: one out of range changes nothing.
    EXPECT_EQ(port_cmd(KEL_SET_SW_REMAIN, 0, 3, 99).status(), 0);
    EXPECT_EQ(port_cmd(KEL_GET_SW_REMAIN, 0, 0, -7).status(), 3);
}

TEST_F(PortProperties, PrbsPatternsSelectTheirSubmodes) {
    struct {
        int order, tx, rx;
    } table[] = {{7, 9, 29}, {9, 1, 21}, {11, 13, 33}, {15, 10, 30}, {23, 11, 31}, {31, 12, 32}};
    for (const auto &t : table) {
        for (int addr : {5, 0}) {
            if_kel_t &k = request(KEL_SET_PRBS);
            k.unit = 1;
            k.val = 12;
            k.dev = t.order;
            k.addr = addr;
            Answer a = run();
            EXPECT_EQ(a.status(), 0);
            int mode = -1, submode = -1;
            fmsim_port_state(1, 12, &mode, &submode);
            EXPECT_EQ(mode, FM_PORT_STATE_BIST);
            EXPECT_EQ(submode, addr ? t.tx : t.rx) << "order " << t.order;
        }
    }
    std::uint64_t calls = fmsim_calls("fmSetPortState");
    // Unknown orders, and units that are not inserted, never reach the switch.
    for (auto [unit, order] : {std::pair{0, 8}, {0, 0}, {0, -7}, {2, 7}, {-1, 7}, {INT_MIN, 7}}) {
        if_kel_t &k = request(KEL_SET_PRBS);
        k.unit = unit;
        k.val = 3;
        k.dev = order;
        EXPECT_EQ(run().status(), -1) << unit << " " << order;
    }
    EXPECT_EQ(fmsim_calls("fmSetPortState"), calls);

    if_kel_t &k = request(KEL_SET_PRBS);
    k.val = 49;
    k.dev = 7;
    Answer a = run();
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out,
              std::string("fmSetPortState MODE BIST: ") + fmErrorMsg(FM_ERR_INVALID_PORT) + "\n");
}

TEST_F(PortProperties, LoopbackModesAndTheirSuppression) {
    for (int mode : {1, 2, 0}) {
        if_kel_t &k = request(KEL_SET_LOOPBACK);
        k.dev = 6;
        k.val = mode;
        Answer a = run();
        EXPECT_EQ(a.status(), 0);
        EXPECT_EQ(a.out, "");
        EXPECT_EQ(attr(0, 6, FM_PORT_LOOPBACK), mode);
        EXPECT_EQ(attr(0, 6, FM_PORT_LOOPBACK_SUPPRESSION), mode == 0 ? 1 : 0);
    }
    fmsim_reset();
    for (int mode : {3, -1, INT_MAX}) {
        if_kel_t &k = request(KEL_SET_LOOPBACK);
        k.dev = 6;
        k.val = mode;
        EXPECT_EQ(run().status(), -1);
    }
    EXPECT_EQ(fmsim_calls("fmSetPortAttribute") + fmsim_calls("fmSetPortAttributeV2"), 0u);

    // A failed write is answered as such even when the read-back works; a
    // failed read-back after a good write is answered too. Nothing prints.
    fmsim_fail("fmSetPortAttributeV2", 1, FM_ERR_UNSUPPORTED);
    fmsim_fail("fmGetPortAttributeV2", 2, FM_ERR_INVALID_STATE);
    for (fm_status expected : {FM_ERR_UNSUPPORTED, FM_ERR_INVALID_STATE, FM_OK}) {
        if_kel_t &k = request(KEL_SET_LOOPBACK);
        k.dev = 6;
        k.val = 1;
        Answer a = run();
        EXPECT_EQ(a.status(), expected);
        EXPECT_EQ(a.out, "");
    }
    if_kel_t &k = request(KEL_SET_LOOPBACK);
    k.dev = 49;
    k.val = 2;
    EXPECT_EQ(run().status(), FM_ERR_INVALID_PORT);
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
    Answer a = port_cmd(KEL_ADD_VLAN_PROMISC, 9);
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.out, "") << "a refused tag alone prints nothing";
    EXPECT_FALSE(fmsim_vlan_member(0, 1, 9).member);
    FmsimVlanMember m = fmsim_vlan_member(0, 2, 9);
    EXPECT_TRUE(m.member);
    EXPECT_FALSE(m.tagged);
    EXPECT_EQ(m.stp_state, FM_STP_STATE_FORWARDING);
    for (int v : {3, 100, 4095}) {
        m = fmsim_vlan_member(0, v, 9);
        EXPECT_TRUE(m.member && m.tagged) << v;
        EXPECT_EQ(m.stp_state, FM_STP_STATE_FORWARDING) << v;
    }
    EXPECT_FALSE(fmsim_vlan_member(0, 3, 10).member);
    EXPECT_EQ(fmsim_calls("fmSetVlanPortState"), 4094u);

    EXPECT_EQ(port_cmd(KEL_DEL_VLAN_PROMISC, 9).status(), 0);
    for (int v : {2, 3, 4095}) EXPECT_FALSE(fmsim_vlan_member(0, v, 9).member) << v;
}

TEST_F(VlanPromiscuity, EveryVlanIsTriedAndTheLastCallAnswers) {
    // Both attempts fail in VLAN 10: reported, and the loop goes on.
    // One call per VLAN before it, as the tagged joins succeed.
    std::uint64_t add10 = 10 - 2 + 1;
    fmsim_fail("fmAddVlanPort", add10, FM_ERR_UNSUPPORTED, 2);
    fmsim_fail("fmSetVlanPortState", 4094, FM_ERR_INVALID_STATE);
    Answer a = port_cmd(KEL_ADD_VLAN_PROMISC, 9);
    EXPECT_EQ(a.status(), FM_ERR_INVALID_STATE);
    std::string add = std::string("fmAddVlanPort: ") + fmErrorMsg(FM_ERR_UNSUPPORTED) + "\n";
    std::string state =
        std::string("fmSetVlanPortState: ") + fmErrorMsg(FM_ERR_INVALID_PORT) + "\n";
    std::string last =
        std::string("fmSetVlanPortState: ") + fmErrorMsg(FM_ERR_INVALID_STATE) + "\n";
    EXPECT_EQ(a.out, add + state + last);
    EXPECT_FALSE(fmsim_vlan_member(0, 10, 9).member);
    EXPECT_TRUE(fmsim_vlan_member(0, 11, 9).member);

    // Removal: a port that was in no VLAN fails everywhere, the last status answers.
    a = port_cmd(KEL_DEL_VLAN_PROMISC, 10);
    EXPECT_EQ(a.status(), FM_ERR_NOT_FOUND);
    EXPECT_EQ(fmsim_calls("fmDeleteVlanPort"), 4094u);
    std::string gone = std::string("fmDeleteVlanPort: ") + fmErrorMsg(FM_ERR_NOT_FOUND) + "\n";
    EXPECT_EQ(a.out.size(), 4094 * gone.size());
    EXPECT_EQ(a.out.substr(0, gone.size()), gone);

    fmsim_fail("fmDeleteVlanPort", fmsim_calls("fmDeleteVlanPort") + 4094, FM_FAIL);
    EXPECT_EQ(port_cmd(KEL_DEL_VLAN_PROMISC, 9).status(), FM_FAIL);
    EXPECT_FALSE(fmsim_vlan_member(0, 4094, 9).member);
    EXPECT_TRUE(fmsim_vlan_member(0, 4095, 9).member);
}

TEST_F(PortProperties, PortStateRecordAndSwitchDescription) {
    ASSERT_EQ(fmSetPortState(0, 8, FM_PORT_STATE_BIST, FM_BIST_RX_PRBS_2G), FM_OK);
    fm_int lb = 2;
    ASSERT_EQ(fmSetPortAttributeV2(0, 8, -1, -1, FM_PORT_LOOPBACK, &lb), FM_OK);
    if_kel_lbg_t &r = lbg_request(KEL_GET_PORT_STATE);
    r.lbg = 8;
    r.kel_query_list.kel_lbg_list.lbg_num = 77;
    for (int i = 0; i < 32; ++i) r.kel_query_list.kel_lbg_list.lbg_list[i] = 1000 + i;
    Answer a = run();
    ASSERT_EQ(a.reply.size(), 136u);
    auto rec = a.as<kel_lbg_query_list_t>();
    EXPECT_EQ(rec.ret, 0);
    EXPECT_EQ(rec.kel_lbg_list.lbg_num, 77);
    const std::int32_t *l = rec.kel_lbg_list.lbg_list;
    EXPECT_EQ(l[0], FM_PORT_STATE_BIST);
    EXPECT_EQ(l[1], FM_PORT_STATE_BIST);
    EXPECT_EQ(l[2], FM_BIST_RX_PRBS_2G);
    EXPECT_EQ(l[3], 2);
    EXPECT_EQ(l[4], FM_ETH_MODE_25GBASE_SR);
    EXPECT_EQ(l[5], 25000);
    for (int i = 6; i < 32; ++i) EXPECT_EQ(l[i], 1000 + i);

    fm_switchInfo info;
    ASSERT_EQ(fmGetSwitchInfo(0, &info), FM_OK);
    char expected[1024];
    std::snprintf(expected, sizeof expected,
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
    std::size_t at = a.out.find(expected);
    ASSERT_NE(at, std::string::npos) << a.out;
    EXPECT_GT(at, 0u) << "the scheduler dump comes first";
    EXPECT_NE(a.out.find("FM_PORT_LOOPBACK", at), std::string::npos)
        << "then the port's attributes";
    EXPECT_EQ(d_.ret_fn(), 0);
}

TEST_F(PortProperties, PortStateFailureKeepsTheListAndSaysSo) {
    fmsim_fail("fmGetSwitchInfo");
    if_kel_lbg_t &r = lbg_request(KEL_GET_PORT_STATE);
    r.unit = 1;
    r.lbg = 50004;
    for (int i = 0; i < 32; ++i) r.kel_query_list.kel_lbg_list.lbg_list[i] = -i;
    Answer a = run();
    ASSERT_EQ(a.reply.size(), 136u);
    auto rec = a.as<kel_lbg_query_list_t>();
    EXPECT_EQ(rec.ret, -1);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(rec.kel_lbg_list.lbg_list[i], -i);
    // A switch that cannot describe itself prints zeros.
    EXPECT_NE(a.out.find("ebiClock 0\nfhRefClock 0\nversion 0x0\n"), std::string::npos) << a.out;
    std::string tail = std::string("fm GetPortState: ") + fmErrorMsg(FM_ERR_INVALID_PORT) + "\n";
    ASSERT_GE(a.out.size(), tail.size());
    EXPECT_EQ(a.out.substr(a.out.size() - tail.size()), tail);
    EXPECT_EQ(d_.ret_fn(), -1);
}

}  // namespace
