// The match translation, checked on what the switch received: condition
// bits and values, the ingress port by glort or port set, and the query
// that reads a rule back.
#include <climits>

#include "testing/rule_fixture.h"

namespace {

using kelftest::rule;

class RuleMatch : public kelftest::RuleTest {};

constexpr int kPermit = 1;

TEST_F(RuleMatch, EveryFieldReachesTheSwitchWithItsConditionAndMask) {
    ASSERT_EQ(add(kPermit, 0, 0), 1);
    fm_aclValue zero{};
    FmsimAclRule empty = on_switch(0, 1);
    EXPECT_EQ(empty.cond, 0u);
    EXPECT_EQ(std::memcmp(&empty.value, &zero, sizeof zero), 0);

    if_kel_t q = rule(0, 0);
    kel_mem_t &m = q.kel_mem;
    m.src_ip = 0x0A000001;  // mask 0: all ones
    m.dst_ip = 0xC0A80000;
    m.dst_ip_mask = 0xFFFF0000;
    m.vlan = 0x1064;       // 16 bits reach the switch, under a 12-bit mask
    m.vlan_mask = 0x00FF;  // not read
    m.vlan_tag = 1;
    m.ether_type = 0x0800;
    m.mpls_type = 2;  // overrides the EtherType
    m.mpls_header = 0x1122334455667788ULL;
    m.ip_protocol = 0x106;
    m.src_port = 80;
    m.src_port_max = 90;  // not read
    m.dst_port = 0x101BB;
    m.dst_port_mask = 0xFFF0;
    m.src_mac = {1, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
    m.dst_mac = {1, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54}};
    m.kel_udf = {1, 4, 5, 6};  // not read
    ASSERT_EQ(add(kPermit, q), 2);

    FmsimAclRule r = on_switch(0, 2);
    EXPECT_EQ(r.cond, FM_ACL_MATCH_SRC_IP | FM_ACL_MATCH_DST_IP | FM_ACL_MATCH_VLAN |
                          FM_ACL_MATCH_VLAN_TAG_TYPE | FM_ACL_MATCH_ETHERTYPE |
                          FM_ACL_MATCH_NON_IP_PAYLOAD | FM_ACL_MATCH_PROTOCOL |
                          FM_ACL_MATCH_L4_SRC_PORT | FM_ACL_MATCH_L4_DST_PORT_WITH_MASK |
                          FM_ACL_MATCH_SRC_MAC | FM_ACL_MATCH_DST_MAC);
    const fm_aclValue &v = r.value;
    EXPECT_EQ(v.srcIp.addr[0], 0x0A000001u);
    EXPECT_EQ(v.srcIpMask.addr[0], 0xFFFFFFFFu);
    EXPECT_FALSE(v.srcIp.isIPv6);
    EXPECT_EQ(v.dstIpMask.addr[0], 0xFFFF0000u);
    EXPECT_EQ(v.vlanId, 0x1064);
    EXPECT_EQ(v.vlanIdMask, 0x0FFF);
    EXPECT_EQ(v.vlanTag, FM_ACL_VLAN_TAG_TYPE_NONE);
    EXPECT_EQ(v.ethType, 0x8848);
    EXPECT_EQ(v.ethTypeMask, 0xFFFF);
    const std::uint8_t payload[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::memcmp(v.nonIPPayload, payload, 8), 0);
    EXPECT_EQ(std::memcmp(v.nonIPPayloadMask, &zero, 8), 0) << "a zero mask is passed as it is";
    EXPECT_EQ(v.protocol, 6);
    EXPECT_EQ(v.protocolMask, 0xFF);
    EXPECT_EQ(v.L4SrcStart, 80);
    EXPECT_EQ(v.L4SrcEnd, 0) << "a port range passes only its start";
    EXPECT_EQ(v.L4DstStart, 0x01BB);
    EXPECT_EQ(v.L4DstMask, 0xFFF0);
    EXPECT_EQ(v.src, 0x001122334455ULL);
    EXPECT_EQ(v.srcMask, 0xFFFFFFFFFFFFULL);
    EXPECT_EQ(v.dst, 0xFEDCBA987654ULL);

    // Any other MPLS type is unicast MPLS; without a header it matches the
    // EtherType alone. A mask without its value turns nothing on.
    q = rule(0, 0);
    m.mpls_type = 3;
    m.src_port_mask = 0xFF;
    m.src_ip_mask = 0xFF;
    ASSERT_EQ(add(kPermit, q), 3);
    EXPECT_EQ(on_switch(0, 3).cond, FM_ACL_MATCH_ETHERTYPE);
    EXPECT_EQ(on_switch(0, 3).value.ethType, 0x8847);
}

TEST_F(RuleMatch, Ipv6AddressesArePackedAndQueriedBackByteForByte) {
    if_kel_t q = rule(0, 0);
    q.kel_mem.src_ip = 0x0A000001;  // the IPv6 address wins
    auto set = [](kel_ip6_t &f, int first) {
        f.flag = 1;
        for (int i = 0; i < 16; ++i) f.ip[i] = static_cast<std::uint8_t>(first + i);
    };
    set(q.kel_mem.src_ip6, 0x10);
    set(q.kel_mem.dst_ip6, 0xA0);
    set(q.kel_mem.dst_ip6_mask, 0xE0);
    ASSERT_EQ(add(kPermit, q), 1);

    FmsimAclRule r = on_switch(0, 1);
    EXPECT_EQ(r.cond, FM_ACL_MATCH_SRC_IP | FM_ACL_MATCH_DST_IP);
    EXPECT_TRUE(r.value.srcIp.isIPv6 && r.value.srcIpMask.isIPv6);
    EXPECT_EQ(r.value.srcIp.addr[0], 0x1F1E1D1Cu) << "bytes 12 to 15";
    EXPECT_EQ(r.value.srcIp.addr[3], 0x13121110u) << "bytes 0 to 3";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r.value.srcIpMask.addr[i], 0xFFFFFFFFu);
    EXPECT_EQ(r.value.dstIpMask.addr[1], 0xEBEAE9E8u);

    kel_mem_t got = query(0, 1).kel_mem;
    EXPECT_EQ(std::memcmp(&got.src_ip6.ip, &q.kel_mem.src_ip6.ip, 16), 0);
    EXPECT_EQ(std::memcmp(&got.dst_ip6.ip, &q.kel_mem.dst_ip6.ip, 16), 0);
    EXPECT_EQ(std::memcmp(&got.dst_ip6_mask.ip, &q.kel_mem.dst_ip6_mask.ip, 16), 0);
    const std::uint8_t ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(&got.src_ip6_mask.ip, ones, 16), 0);
}

TEST_F(RuleMatch, QueryReadsBackTheRuleAndEchoesWhatItDoesNotReport) {
    if_kel_t q = rule(0, 0, 3);
    q.kel_mem.src_mac = {1, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
    q.kel_mem.dst_ip = 0xC0A80001;
    q.kel_mem.vlan = 100;
    q.kel_mem.mpls_type = 1;
    q.kel_mem.mpls_header = 0xAABBCCDD;
    q.kel_mem.mpls_header_mask = 0xFFFFFFFF00000000ULL;
    q.kel_mem.dst_port = 2000;
    q.kel_mem.dst_port_mask = 0xFF00;
    ASSERT_EQ(add(kPermit, q), 1);

    kel_query_rule_t got = query(0, 1, [](kel_mem_t &m) {
        m.vlan_tag = 4;
        m.mirror_port = 12;
        m.kel_udf = {7, 8, 9, 10};
        m.dst_mac.flag = 5;
    });
    const kel_mem_t &m = got.kel_mem;
    EXPECT_EQ(+got.ret, 0);
    EXPECT_EQ(+m.rule_act, KEL_ACT_PERMIT);
    EXPECT_EQ(+m.port, 3);
    EXPECT_EQ(std::memcmp(&m.src_mac.mac, &q.kel_mem.src_mac.mac, 6), 0);
    EXPECT_EQ(+m.dst_ip, 0xC0A80001u);
    EXPECT_EQ(+m.dst_ip_mask, 0xFFFFFFFFu);
    EXPECT_EQ(+m.vlan_mask, 0x0FFF);
    EXPECT_EQ(+m.ether_type, 0x8847);
    EXPECT_EQ(+m.mpls_type, 1);
    EXPECT_EQ(+m.mpls_header, 0xAABBCCDDu);
    EXPECT_EQ(+m.mpls_header_mask, 0xFFFFFFFF00000000ULL);
    EXPECT_EQ(+m.dst_port_mask, 0xFF00);
    // Not reported: the request's bytes go back.
    EXPECT_EQ(+m.vlan_tag, 4);
    EXPECT_EQ(+m.mirror_port, 12);
    EXPECT_EQ(+m.kel_udf.mask, 10u);
    EXPECT_EQ(+m.dst_mac.flag, 5);
}

TEST_F(RuleMatch, AnOrdinaryPortMatchesByItsGlortExceptInAMirrorRule) {
    fm_uint32 glort = 0;
    ASSERT_EQ(fmGetStackGlort(0, 3, &glort), FM_OK);
    ASSERT_EQ(add(kPermit, 0, 0, 3), 1);
    FmsimAclRule r = on_switch(0, 1);
    EXPECT_EQ(r.cond, FM_ACL_MATCH_SRC_GLORT);
    EXPECT_EQ(r.value.srcGlort, static_cast<fm_uint16>(glort));
    EXPECT_EQ(r.value.srcGlortMask, 0xFFFF);

    ASSERT_EQ(fmCreateMirror(0, 0, 10, FM_MIRROR_TYPE_INGRESS), FM_OK);
    ASSERT_EQ(add(KEL_ACT_MIRROR, 0, 0, 3), 2);
    EXPECT_EQ(on_switch(0, 2).cond, 0u);

    capture();
    EXPECT_EQ(add(kPermit, 0, 0, 49), -1) << "port 49 has no glort";
    EXPECT_EQ(captured(), "");
    EXPECT_EQ(kel_cur_rule[0][0], 2);
    expect_in_step();
}

TEST_F(RuleMatch, PciExpressPortsMatchThroughFourPortSets) {
    fmsim_fail("fmCreatePortSet");
    capture();
    EXPECT_EQ(add(kPermit, 0, 0, 41), -1);
    EXPECT_EQ(captured(), "portSet error\n");
    fmsim_fail("fmAddPortSetPort");
    capture();
    EXPECT_EQ(add(kPermit, 0, 0, 41), -1);
    EXPECT_EQ(captured(), "portSet error\n");
    EXPECT_EQ(fmsim_port_set_count(0), 0) << "a half-made set is deleted again";

    ASSERT_EQ(add(kPermit, 0, 0, 41), 1);
    FmsimAclRule r = on_switch(0, 1);
    EXPECT_EQ(r.cond, FM_ACL_MATCH_INGRESS_PORT_SET);
    EXPECT_EQ(r.value.portSet, portSet[0][0]);
    EXPECT_EQ(fmsim_port_set_ports(0, r.value.portSet), std::vector<int>{41});
    ASSERT_EQ(add(kPermit, 1, 0, 41), 1);
    EXPECT_EQ(on_switch(1, 1).value.portSet, portSet[0][0]) << "a port keeps its port set";

    for (int port : {42, 43, 44}) ASSERT_GT(add(kPermit, 0, 0, port), 0);
    EXPECT_EQ(fmsim_port_set_count(0), 4);
    EXPECT_EQ(fmsim_port_set_ports(0, portSet[0][3]), std::vector<int>{44});
    capture();
    EXPECT_EQ(add(kPermit, 0, 0, 45), -1);
    EXPECT_EQ(captured(), "portSet error\n");
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 2, 3, 4}));
    ASSERT_EQ(add(kPermit, 0, 0, 43), 5) << "ports with a set still match";
    EXPECT_EQ(on_switch(0, 5).value.portSet, portSet[0][2]);
    expect_in_step();

    if_kel_t other = rule(0, 0, 45);
    other.unit = 1;
    EXPECT_EQ(kel_add_rule_fn(kPermit, &other), 1) << "each unit has its own four";
}

}  // namespace

namespace {

// Every tag-type number a request can carry reaches the switch as one less,
// the extremes included: none may stop the daemon.
TEST_F(RuleMatch, AnyVlanTagNumberIsPassedOnWithoutHarm) {
    int id = 0;
    for (int tag : {INT_MIN, -1, 11, INT_MAX}) {
        if_kel_t q = rule(0, 0);
        q.kel_mem.vlan_tag = tag;
        ASSERT_EQ(add(kPermit, q), ++id) << tag;
        FmsimAclRule r = on_switch(0, id);
        EXPECT_EQ(r.cond, FM_ACL_MATCH_VLAN_TAG_TYPE) << tag;
        int sent = 0;
        std::memcpy(&sent, &r.value.vlanTag, sizeof sent);
        EXPECT_EQ(sent, static_cast<int>(static_cast<unsigned>(tag) - 1u)) << tag;
    }
}

// A port set no rule uses any more is deleted and its slot freed: five
// PCI Express ports in turn, each rule removed before the next, all go in.
TEST_F(RuleMatch, APortSetNoRuleUsesIsDeletedAndItsSlotFreed) {
    for (int port : {41, 42, 43, 44, 45, 46}) {
        SCOPED_TRACE(port);
        int id = add(kPermit, 0, 0, port);
        ASSERT_GT(id, 0);
        EXPECT_EQ(fmsim_port_set_ports(0, on_switch(0, id).value.portSet), std::vector<int>{port});
        ASSERT_EQ(kel_entry_remove_fn(0, id, 0), 0);
        EXPECT_EQ(fmsim_port_set_count(0), 0);
    }
    // A set stays while another rule holds it, on any group; a clear frees all.
    ASSERT_GT(add(kPermit, 0, 0, 41), 0);
    ASSERT_GT(add(kPermit, 3, 0, 41), 0);
    ASSERT_EQ(kel_entry_remove_fn(0, 1, 3), 0);
    EXPECT_EQ(fmsim_port_set_count(0), 1);
    fmsim_fail("fmAddACLRuleExt", fmsim_calls("fmAddACLRuleExt") + 1);
    capture();
    EXPECT_EQ(add(kPermit, 0, 0, 42), -1);
    captured();
    EXPECT_EQ(fmsim_port_set_count(0), 1) << "a refused rule leaves no set behind";
    ASSERT_EQ(kel_clear_fn(0), 0);
    EXPECT_EQ(fmsim_port_set_count(0), 0);
    expect_in_step();
}

}  // namespace
