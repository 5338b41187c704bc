// Every command's request record, byte for byte. Offsets are written out as
// the wire has them, not taken from the structs, so a field at a wrong
// place or in a wrong byte order fails here.
#include <gtest/gtest.h>

#include <sstream>

#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

struct At {
    std::size_t off;
    Bytes bytes;
};

Bytes i32(std::int64_t v) {
    auto u = static_cast<std::uint32_t>(v);
    return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
            static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
}
Bytes i16(int v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
}
Bytes u64(std::uint64_t v) {
    Bytes b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return b;
}
Bytes bytes(std::initializer_list<int> l) {
    Bytes b;
    for (int x : l) b.push_back(static_cast<unsigned char>(x));
    return b;
}

constexpr std::size_t kKel = 9428, kLbg = 152, kMask = 44;

struct Case {
    const char *cmd;
    std::size_t size;
    std::vector<At> fields;  // every other byte is zero
};

std::vector<std::string> words(const std::string &s) {
    std::istringstream is(s);
    std::vector<std::string> w;
    for (std::string x; is >> x;) w.push_back(x);
    return w;
}

std::string diff(const Bytes &got, const Bytes &want) {
    std::ostringstream os;
    if (got.size() != want.size())
        os << "size " << got.size() << ", expected " << want.size() << "; ";
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i)
        if (got[i] != want[i])
            os << "byte " << i << " is " << int(got[i]) << ", expected " << int(want[i]) << "; ";
    return os.str();
}

const Case kCases[] = {
    // Rules: the plain actions have their own codes, the rest go as 54.
    {"rule add drop", kKel, {{0, i32(5)}}},
    {"-u 2 rule add group 3 id 77 permit in-port 4",
     kKel,
     {{0, i32(18)}, {4, i32(2)}, {12, i32(3)}, {16, i32(77)}, {24, i32(4)}}},
    {"rule add redirect 7 in-port 3", kKel, {{0, i32(6)}, {24, i32(3)}, {28, i32(7)}}},
    {"rule add mirror 10", kKel, {{0, i32(7)}, {88, i32(10)}}},
    {"rule add lbg 4 dst-ip 10.1.0.0/16",
     kKel,
     {{0, i32(54)},
      {28, i32(4)},
      {44, i32(0x0A010000)},
      {52, i32(0xFFFF0000)},
      {9408, i32(0x2000)}}},
    {"rule add redirect 3 set-vlan 100",
     kKel,
     {{0, i32(54)}, {28, i32(3)}, {218, i32(100)}, {9408, i32(0x8100)}}},
    {"rule add rewrite set-user-bits 5", kKel, {{0, i32(54)}, {230, i32(5)}, {9408, i32(0x1000)}}},
    {"rule add drop set-vlan-priority 3 set-switch-priority 7",
     kKel,
     {{0, i32(54)}, {222, i32(3)}, {230, i32(7)}, {9408, i32(0x602)}}},
    {"rule add permit src-mac 00:11:22:33:44:55 dst-mac 0a:0b:0c:0d:0e:0f",
     kKel,
     {{0, i32(18)},
      {130, i16(1)},
      {132, bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55})},
      {138, i16(1)},
      {140, bytes({0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f})}}},
    // Bits past the prefix are cleared: the switch compares only the prefix.
    {"rule add drop src-ip 2001:db8::1/64 dst-ip fe80::/10",
     kKel,
     {{0, i32(5)},
      {146, i16(1)},
      {148, bytes({0x20, 0x01, 0x0d, 0xb8})},
      {164, i16(1)},
      {166, bytes({0xfe, 0x80})},
      {182, i16(1)},
      {184, bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
      {200, i16(1)},
      {202, bytes({0xff, 0xc0})}}},
    {"rule add drop src-ip 10.0.0.1 protocol tcp sport 80 dport 1024/0xfc00",
     kKel,
     {{0, i32(5)},
      {32, i32(80)},
      {36, i32(1024)},
      {40, i32(0x0A000001)},
      {48, i32(0xFFFFFFFF)},
      {60, i32(0xFC00)},
      {72, i32(6)}}},
    {"rule add drop ethertype arp vlan 100 vlan-tag tagged",
     kKel,
     {{0, i32(5)}, {76, i32(100)}, {112, i32(0x0806)}, {226, i32(2)}}},
    {"rule add drop mpls multicast mpls-header 0x1234/0xffff",
     kKel,
     {{0, i32(5)}, {92, i32(2)}, {96, u64(0x1234)}, {104, u64(0xffff)}}},
    {"rule flush", kKel, {{0, i32(2)}}},
    // Configuration and masks.
    {"config set mesh", kKel, {{0, i32(4)}, {8, i32(6)}}},
    {"-u 1 config set 2", kKel, {{0, i32(4)}, {4, i32(1)}, {8, i32(2)}}},
    {"config show", kKel, {{0, i32(8)}}},
    {"mask set 1,2 to 4", kMask, {{0, i32(16)}, {8, bytes({0x06})}, {24, bytes({0x10})}}},
    {"mask set 8,47 to none", kMask, {{0, i32(16)}, {8, bytes({0, 0x01, 0, 0, 0, 0x80})}}},
    {"mask show 9", kMask, {{0, i32(17)}, {8, bytes({0, 0x02})}}},
    // Load-balancing groups, mirrors, multicast.
    {"lbg add 1-3,3",
     kLbg,
     {{0, i32(58)}, {8, i32(4)}, {12, i32(1)}, {16, i32(2)}, {20, i32(3)}, {24, i32(3)}}},
    {"lbg delete 4", kLbg, {{0, i32(57)}, {144, i32(4)}}},
    {"lbg list", kLbg, {{0, i32(55)}}},
    {"mirror add 10 ports 1,2",
     kLbg,
     {{0, i32(68)}, {8, i32(2)}, {12, i32(1)}, {16, i32(2)}, {144, i32(10)}}},
    {"mirror delete 10", kLbg, {{0, i32(67)}, {144, i32(10)}}},
    {"mirror add-port 10 5", kLbg, {{0, i32(70)}, {144, i32(10)}, {148, i32(5)}}},
    {"mirror delete-port 10 5", kLbg, {{0, i32(69)}, {144, i32(10)}, {148, i32(5)}}},
    {"mirror vlan 10 100", kKel, {{0, i32(72)}, {242, i32(100)}, {246, i32(10)}}},
    {"mirror vlan 10 none", kKel, {{0, i32(72)}, {246, i32(10)}}},
    {"mcast create", kKel, {{0, i32(77)}}},
    {"mcast delete 3", kKel, {{0, i32(80)}, {242, i32(3)}}},
    {"mcast show 3", kKel, {{0, i32(78)}, {242, i32(3)}}},
    {"mcast add-listener 3 port 5 vlan 100",
     kKel,
     {{0, i32(79)}, {242, i32(3)}, {246, i32(5)}, {9424, i32(100)}}},
    // Hashing: the client computes the selector bits.
    {"hash set l2 dst-mac ff:ff:ff:00:00:00 ethertype 0xffff symmetric-mac on",
     kKel,
     {{0, i32(52)},
      {9314, i32(0x26)},
      {9328, bytes({0xff, 0xff, 0xff})},
      {9334, i32(0xffff)},
      {9354, i32(1)}}},
    {"hash set l2 profile 3 vlan-id 0xfff vlan2-id 0xff vlan-priority 7 vlan2-priority 1",
     kKel,
     {{0, i32(52)},
      {9314, i32(0x1000018)},
      {9318, i32(3)},
      {9338, i32(0xfff)},
      {9342, i32(7)},
      {9346, i32(0xff)},
      {9350, i32(1)}}},
    {"hash set l3 profile 3 src-ip 0xffffff00 random-only on symmetric-l4 on",
     kKel,
     {{0, i32(53)},
      {9358, i32(0x1002201)},
      {9362, i32(3)},
      {9366, i32(0xffffff00)},
      {9403, bytes({1})},
      {9407, bytes({1})}}},
    {"hash set l3 dst-port 0xffff dscp 0x3f protocol 0xff flow 0xfffff custom 7 isl-user 3 dst-ip "
     "1 "
     "src-port 2 symmetric-l3 on random-next-hop on random-other on",
     kKel,
     {{0, i32(53)},
      {9358, i32(0x1dfe)},
      {9370, i32(1)},
      {9374, i32(2)},
      {9378, i32(0xffff)},
      {9382, i32(0x3f)},
      {9386, i32(3)},
      {9390, i32(0xff)},
      {9394, i32(7)},
      {9398, i32(0xfffff)},
      {9402, bytes({1})},
      {9405, bytes({1, 1})}}},
    {"hash show l2", kKel, {{0, i32(61)}}},
    {"hash show l3", kKel, {{0, i32(62)}}},
    // Port properties and statistics.
    {"port set 3 parser 4", kKel, {{0, i32(81)}, {246, i32(3)}, {9424, i32(4)}}},
    {"port set 3 frame-update 0x5", kKel, {{0, i32(83)}, {246, i32(3)}, {9424, i32(5)}}},
    {"port set 3 ttl-update on", kKel, {{0, i32(85)}, {246, i32(3)}, {9424, i32(1)}}},
    {"port set 3 loopback 2", kKel, {{0, i32(116)}, {9420, i32(3)}, {9424, i32(2)}}},
    {"port set 3 prbs 31 rx", kKel, {{0, i32(114)}, {9420, i32(31)}, {9424, i32(3)}}},
    {"port set 3 prbs 7 tx", kKel, {{0, i32(114)}, {9416, i32(1)}, {9420, i32(7)}, {9424, i32(3)}}},
    {"port set 3 vlans all", kKel, {{0, i32(73)}, {246, i32(3)}}},
    {"port set 3 vlans none", kKel, {{0, i32(74)}, {246, i32(3)}}},
    {"port state 5", kLbg, {{0, i32(115)}, {144, i32(5)}}},
    {"port link 7", kKel, {{0, i32(63)}, {246, i32(7)}}},
    {"stats show 5", kKel, {{0, i32(201)}, {24, i32(5)}}},
    {"stats priorities 5", kKel, {{0, i32(202)}, {24, i32(5)}}},
    {"stats reset 48", kKel, {{0, i32(203)}, {24, i32(48)}}},
    // Platform hardware and the daemon.
    {"phy read 1 2 3", kKel, {{0, i32(100)}, {9412, i32(1)}, {9416, i32(3)}, {9420, i32(2)}}},
    {"phy write 1 2 3 0xbeef",
     kKel,
     {{0, i32(101)}, {9412, i32(1)}, {9416, i32(3)}, {9420, i32(2)}, {9424, i32(0xbeef)}}},
    {"gpio set 4 1", kKel, {{0, i32(109)}, {9420, i32(4)}, {9424, i32(1)}}},
    {"gpio direction 4 open-drain 1",
     kKel,
     {{0, i32(107)}, {9416, i32(2)}, {9420, i32(4)}, {9424, i32(1)}}},
    {"reg read 0x100", kKel, {{0, i32(110)}, {9416, i32(0x100)}}},
    {"reg write 0x100 0xffffffff",
     kKel,
     {{0, i32(111)}, {9416, i32(0x100)}, {9424, i32(0xffffffff)}}},
    {"bypass read 2 16", kKel, {{0, i32(104)}, {254, i32(16)}, {9420, i32(2)}}},
    {"bypass write 2 01:02:ff",
     kKel,
     {{0, i32(105)}, {254, i32(3)}, {258, bytes({1, 2, 0xff})}, {9420, i32(2)}}},
    {"temp read 0 3 8", kKel, {{0, i32(112)}, {254, i32(8)}, {9420, i32(3)}}},
    {"temp read 1 3 8", kKel, {{0, i32(117)}, {254, i32(8)}, {9420, i32(3)}}},
    {"temp write 0 3 aa",
     kKel,
     {{0, i32(113)}, {254, i32(1)}, {258, bytes({0xaa})}, {9420, i32(3)}}},
    {"temp write 1 3 aa",
     kKel,
     {{0, i32(118)}, {254, i32(1)}, {258, bytes({0xaa})}, {9420, i32(3)}}},
    {"xcvr read 1 0xa0 4 128",
     kKel,
     {{0, i32(119)}, {254, i32(128)}, {9412, i32(1)}, {9416, i32(4)}, {9420, i32(0xa0)}}},
    {"xcvr read rx 1 0xa0 4 128",
     kKel,
     {{0, i32(121)}, {254, i32(128)}, {9412, i32(1)}, {9416, i32(4)}, {9420, i32(0xa0)}}},
    {"xcvr write 1 0xa0 16 0102",
     kKel,
     {{0, i32(120)},
      {254, i32(2)},
      {258, bytes({1, 2})},
      {9412, i32(1)},
      {9416, i32(16)},
      {9420, i32(0xa0)}}},
    {"xcvr write rx 1 0xa0 16 0102",
     kKel,
     {{0, i32(122)},
      {254, i32(2)},
      {258, bytes({1, 2})},
      {9412, i32(1)},
      {9416, i32(16)},
      {9420, i32(0xa0)}}},
    {"daemon set stay-up off", kKel, {{0, i32(87)}}},
    {"daemon set stay-up on", kKel, {{0, i32(87)}, {9424, i32(1)}}},
    // raw: fields by name, in any of the three layouts.
    {"-u 3 raw 63 port=5", kKel, {{0, i32(63)}, {4, i32(3)}, {246, i32(5)}}},
    {"raw 58 lbg.list=1-2 unit=1",
     kKel,
     {{0, i32(58)}, {4, i32(1)}, {8, i32(2)}, {12, i32(1)}, {16, i32(2)}}},
    {"raw 13 kel_mem.src_mac.mac=00:11:22:33:44:55 kel_mem.src_ip=10.0.0.1 "
     "kel_mem.mpls_header=0x0102",
     kKel,
     {{0, i32(13)},
      {40, i32(0x0A000001)},
      {96, bytes({2, 1})},
      {132, bytes({0, 0x11, 0x22, 0x33, 0x44, 0x55})}}},
    {"raw 0xffffffff mask.egress=1 l3_hash.random_only=1 val=-2",
     kKel,
     {{0, i32(-1)}, {24, bytes({0x02})}, {9407, bytes({1})}, {9424, i32(-2)}}},
};

TEST(Requests, EveryCommandBuildsItsRecordByteForByte) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.cmd);
        FakeDaemon d;
        Outcome r = run(d, words(c.cmd));
        ASSERT_EQ(r.status, 0) << r.err;
        // The command's own request comes last, after any reads that check it.
        ASSERT_FALSE(d.requests.empty());
        for (std::size_t i = 0; i + 1 < d.requests.size(); ++i)
            EXPECT_TRUE(FakeDaemon::is_check(d.requests[i]));
        Bytes want(c.size);
        for (const At &f : c.fields)
            std::copy(f.bytes.begin(), f.bytes.end(), want.begin() + long(f.off));
        EXPECT_EQ(diff(d.requests.back(), want), "");
    }
}

// Commands that send several requests: each request's code and fields.
TEST(Requests, MultiRequestCommandsSendOneRequestPerValue) {
    FakeDaemon d;
    ASSERT_EQ(run(d, words("gpio show 4")).status, 0);
    d.requests = d.sent();
    ASSERT_EQ(d.requests.size(), 2u);
    EXPECT_EQ(d.requests[0][0], 106);
    EXPECT_EQ(d.requests[1][0], 108);
    EXPECT_EQ(d.requests[1][9420], 4);

    d.requests.clear();
    ASSERT_EQ(run(d, words("daemon show")).status, 0);
    ASSERT_EQ(d.requests.size(), 2u);
    EXPECT_EQ(d.requests[0][0], KEL_GET_DEV_NUM);
    EXPECT_EQ(d.requests[1][0], KEL_GET_SW_REMAIN);

    // port set: every setting for every port, in order.
    d.requests.clear();
    ASSERT_EQ(run(d, words("port set 1-2 parser 3 ttl-update off")).status, 0);
    d.requests = d.sent();
    ASSERT_EQ(d.requests.size(), 4u);
    EXPECT_EQ(d.requests[0][0], KEL_SET_PORT_PARSER);
    EXPECT_EQ(d.requests[0][246], 1);
    EXPECT_EQ(d.requests[1][0], KEL_SET_TTL_UPDATE);
    EXPECT_EQ(d.requests[3][246], 2);

    // port show reads the port's state record, its link and its mask; -d
    // adds three properties.
    d.requests.clear();
    ASSERT_EQ(run(d, words("port show 7 -d")).status, 0);
    d.requests = d.sent();
    std::vector<int> codes;
    for (const auto &q : d.requests) {
        codes.push_back(q[0]);
        if (q[0] == KEL_GET_PORT_STATE)
            EXPECT_EQ(q[144], 7);  // if_kel_lbg.lbg
        else if (q[0] == KEL_GET_PORT_MASK)
            EXPECT_EQ(q[8], 0x80);  // ingress bit 7
        else
            EXPECT_EQ(q[246], 7);
    }
    EXPECT_EQ(codes, (std::vector<int>{115, 63, 82, 84, 86, 17}));

    // The mask of each shown port is asked for alone.
    d.requests.clear();
    ASSERT_EQ(run(d, words("mask show 1,9")).status, 0);
    d.requests = d.sent();
    ASSERT_EQ(d.requests.size(), 2u);
    EXPECT_EQ(d.requests[0][8], 0x02);
    EXPECT_EQ(d.requests[1][8], 0);
    EXPECT_EQ(d.requests[1][9], 0x02);
}

TEST(Requests, RuleQueriesCarryGroupIdAndAnAbsentMarker) {
    FakeDaemon d;
    ASSERT_EQ(run(d, words("rule add group 2 id 9 drop")).status, 0);
    d.requests.clear();
    ASSERT_EQ(run(d, words("rule delete group 2 id 9")).status, 0);
    ASSERT_EQ(d.requests.size(), 3u);  // the switch count, the query, the removal
    d.requests.erase(d.requests.begin());
    const Bytes &q = d.requests[0];
    EXPECT_EQ(q[0], KEL_ENTRY_QUERY);
    EXPECT_EQ(Bytes(q.begin() + 12, q.begin() + 16), i32(2));  // kel_mem.group
    EXPECT_EQ(Bytes(q.begin() + 16, q.begin() + 20), i32(9));  // kel_mem.rule_id
    const Bytes &rm = d.requests[1];
    EXPECT_EQ(rm[0], KEL_ENTRY_REMOVE);
    EXPECT_EQ(Bytes(rm.begin() + 238, rm.begin() + 242), i32(9));  // rule_id
    EXPECT_EQ(Bytes(rm.begin() + 242, rm.begin() + 246), i32(2));  // group
    EXPECT_TRUE(d.rules[2].empty());

    // The counter takes its group from kel_mem and its id from if_kel.
    ASSERT_EQ(run(d, words("rule add group 1 id 5 drop")).status, 0);
    d.requests.clear();
    Outcome r = run(d, words("rule stats group 1 id 5"));
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes &c = d.requests.back();
    EXPECT_EQ(c[0], KEL_GET_CNT);
    EXPECT_EQ(Bytes(c.begin() + 12, c.begin() + 16), i32(1));
    EXPECT_EQ(Bytes(c.begin() + 238, c.begin() + 242), i32(5));
    EXPECT_NE(r.out.find("50"), std::string::npos);
}

TEST(Requests, AnL2PairGivenHalfKeepsTheOtherHalfAsTheSwitchHasIt) {
    FakeDaemon d;
    d.answer[KEL_GET_L2_HASH] = [](const Bytes &) {
        kel_l2_hash_t h{};
        h.vlan2_id_mask = 0xabc;
        h.vlan_pri = 0x5;
        Bytes b(sizeof h);
        std::memcpy(b.data(), &h, sizeof h);
        return b;
    };
    ASSERT_EQ(run(d, words("hash set l2 vlan-id 0x123 vlan2-priority 2")).status, 0);
    ASSERT_EQ(d.sent().size(), 2u);
    auto h = d.last<if_kel_t>().l2_hash;
    EXPECT_EQ(h.l2_hash_set, 0x18u);
    EXPECT_EQ(h.vlan_id_mask, 0x123u);
    EXPECT_EQ(h.vlan2_id_mask, 0xabcu);
    EXPECT_EQ(h.vlan_pri, 0x5u);
    EXPECT_EQ(h.vlan2_pri, 2u);
}

// A bad value or word: exit 2, a one-line message naming the argument and
// what it expects plus the help to read, and nothing sent.
TEST(Requests, UsageErrorsNameTheArgumentAndTheHelp) {
    struct Bad {
        const char *cmd;
        const char *msg;
    };
    const Bad bad[] = {
        {"rule add", "a rule needs an action"},
        {"rule add drop in-port x", "in-port PORT: 'x' is not a number from 1 to 65535"},
        {"rule add drop in-port 49",
         "in-port PORT: '49' is not a port of unit 0 here (ports 1 to 48 and 50000 to 50003)"},
        {"rule add redirect 60000",
         "redirect PORT: '60000' is not a port of unit 0 here (ports 1 to 48)"},
        {"rule add drop dst-ip 0.0.0.0/32",
         "dst-ip: 0.0.0.0/32 cannot be matched: kelfd takes IPv4 address 0 as no dst-ip condition"},
        {"rule add drop dst-ip 0.0.0.0/0",
         "dst-ip: '0.0.0.0/0' matches any address; leave dst-ip out"},
        {"rule add drop sport 0", "sport: port 0 cannot be matched alone"},
        {"rule add drop dport 0-65535", "dport: '0-65535' matches any port; leave dport out"},
        {"rule add drop dport 9-8", "dport: '9-8' is not a range LO-HI"},
        {"rule add drop s 1",
         "rule keyword 's' is ambiguous: set-vlan, set-vlan-priority, set-switch-priority, "
         "set-user-bits, src-mac, src-ip, sport"},
        {"rule add drop dprot 80", "unknown rule keyword 'dprot'; did you mean 'dport'?"},
        {"rule sh idd 5", "unknown keyword 'idd'; did you mean 'id'?"},
        {"r s id 5", "command 's' for rule is ambiguous: show, stats"},
        {"m", "object 'm' is ambiguous: mask, mirror, mcast"},
        {"rlue list", "unknown object 'rlue'; did you mean 'rule'?"},
        {"port link 1-100", "PORTS: '49' is not a port of unit 0 here (ports 1 to 48)"},
        {"stats reset 50", "PORTS: '50' is not a port of unit 0 here (ports 0 to 48)"},
        {"lbg add 0-2", "PORTS: '0' is not a port of unit 0 here (ports 1 to 48)"},
        {"mirror add 3 ports 49", "ports PORTS: '49' is not a port of unit 0 here (ports 1 to 48)"},
        {"hash set l3 dscp 0x40", "dscp MASK: '0x40' is not a number from 0 to 63"},
        {"hash set l3 symmetric-l3 yes", "symmetric-l3: 'yes' is not on or off"},
        {"rule add drop dst-mac 00:11:22:33:44", "dst-mac: '00:11:22:33:44' is not a MAC address"},
        {"rule add drop src-ip 10.0.0.300", "src-ip: '10.0.0.300' is not an IPv4 or IPv6 address"},
        {"rule add drop src-ip 10.0.0.0/33", "src-ip: '10.0.0.0/33'"},
        {"rule add drop protocol foo", "protocol: 'foo' is not a protocol name"},
        {"rule add drop ethertype 0x10000", "ethertype: '0x10000' is not an EtherType name"},
        {"rule add drop vlan 4096", "vlan VLAN: '4096' is not a number from 1 to 4095"},
        {"rule add drop group 32", "group: '32' is not a number from 0 to 31"},
        {"rule add drop permit", "a rule takes one of"},
        {"rule add mirror 3 set-vlan 5", "a mirror rule takes no set-* action"},
        {"rule add rewrite", "rewrite needs set-vlan"},
        {"rule add drop set-user-bits 1", "set-user-bits replaces every other action"},
        {"rule add drop mpls-header 5", "mpls-header needs mpls"},
        {"rule add drop vlan-tag blue", "vlan-tag: 'blue' is not a tag type"},
        {"rule add drop sport 80/0x10000", "sport: '0x10000' is not a number from 1 to 65535"},
        {"rule delete", "rule delete needs id N"},
        {"rule frob", "unknown command 'frob' for rule"},
        {"rule lsit", "unknown command 'lsit' for rule; did you mean 'list'?"},
        {"config set 3", "config: '3' is not a configuration"},
        {"mask set 1-4 5", "mask set needs PORTS to PORTS"},
        {"mask set 48 to 1",
         "PORTS: '48' is not a port of unit 0 here (port masks cover ports 1 to 47)"},
        {"lbg add 1-33", "lbg add takes 1 to 32 ports"},
        {"lbg add 4-1", "PORTS: '4-1' is not a port list"},
        {"mcast add-listener 1 port 2", "add-listener needs port PORT and vlan VLAN"},
        {"hash set l4", "hash set needs l2 or l3"},
        {"hash set l2 vlan-id 0x1000", "vlan-id MASK: '0x1000' is not a number from 0 to 4095"},
        {"hash set l3 random-only maybe", "random-only: 'maybe' is not on or off"},
        {"port set 3 loopback 3", "loopback: '3' is not off, 1 or 2"},
        {"port set 3 prbs 8 tx", "prbs: '8' is not a pattern order"},
        {"stats show 50000", "PORTS: '50000' is not a port of unit 0 here (ports 0 to 48)"},
        {"bypass write 1 0g", "DATA: '0g' is not bytes in hexadecimal"},
        {"bypass read 1 8193", "LENGTH: '8193' is not a number from 0 to 8192"},
        {"raw 1 nosuch=1", "unknown field 'nosuch'"},
        {"raw 1 port", "'port' is not FIELD=VALUE"},
        {"frob", "unknown object 'frob'"},
        {"rule list extra", "unknown keyword 'extra'"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.cmd);
        FakeDaemon d;
        Outcome r = run(d, words(b.cmd));
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(b.msg), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("; see 'kelfctl "), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(d.requests.empty());
    }
}

}  // namespace
}  // namespace kelfctl::test
