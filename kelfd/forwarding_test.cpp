// Frames through a switch the daemon configured: each operating
// configuration, each rule action, precedence within and across groups,
// load-balancing spread and stickiness, the symmetric hash, mirrors,
// multicast replication, VLAN and priority rewrites and the counters the
// statistics commands report. Requests go through the dispatcher, frames in
// through fmsim's in-process API.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "daemon.h"
#include "dispatch.h"
#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_forward.h"
#include "frame_builder.h"
#include "ports/ports.h"
#include "rules/rule_table.h"
#include "startup.h"
#include "testing/harness.h"

namespace {

using fmsimtest::build;
using fmsimtest::FrameDef;
using fmsimtest::L3;
using Ports = std::multiset<int>;

class Forwarding : public testing::Test {
protected:
    void SetUp() override {
        kelftest::fresh_daemon(1, false);
        switch_count = 1;
        ASSERT_EQ(fmOSInitialize(), FM_OK);
        ASSERT_EQ(fmInitialize(nullptr), FM_OK);
        testing::internal::CaptureStdout();
        bool up = kelf::bring_up_switch(0);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(up);
    }
    // The daemon's tables name rules of a switch the next test rebuilds.
    void TearDown() override { kelf::reset_modules(); }

    // Sends the request and returns the reply's bytes.
    std::vector<unsigned char> send(const void *req, std::size_t size) {
        d_.clear();
        std::memcpy(&d_.buffer(), req, size);
        testing::internal::CaptureStdout();
        kelf::Reply r = d_.dispatch();
        testing::internal::GetCapturedStdout();
        const auto *p = static_cast<const unsigned char *>(r.data);
        return {p, p + r.size};
    }
    int status(const if_kel_t &r) {
        auto b = send(&r, sizeof r);
        int v = 0x7eadbeef;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }
    int status(const if_kel_lbg_t &r) {
        auto b = send(&r, sizeof r);
        int v = 0x7eadbeef;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }
    static if_kel_t kel(int cmd) {
        if_kel_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = cmd;
        return r;
    }
    static if_kel_lbg_t lbg(int cmd, std::initializer_list<int> ports = {}) {
        if_kel_lbg_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = cmd;
        r.kel_query_list.kel_lbg_list.lbg_num = static_cast<int>(ports.size());
        int i = 0;
        for (int p : ports) r.kel_query_list.kel_lbg_list.lbg_list[i++] = p;
        return r;
    }
    void cfg(int n) {
        if_kel_t r = kel(KEL_SET_CFG);
        r.cfg = n;
        ASSERT_EQ(status(r), 0);
    }
    // A rule on an ingress port with an action code; `more` fills the rest.
    int rule(int code, int port, int group = 0, void (*more)(kel_mem_t &) = nullptr,
             int redir = 0) {
        if_kel_t r = kel(KEL_SET_RULE);
        r.action = code;
        r.kel_mem.port = port;
        r.kel_mem.group = group;
        r.kel_mem.redir_port = redir;
        if (more) more(r.kel_mem);
        return status(r);
    }
    kelf_stat_cnt_t stat(int port) {
        if_kel_t r = kel(KEL_GET_STAT);
        r.kel_mem.port = port;
        auto b = send(&r, sizeof r);
        kel_stat_t s{};
        EXPECT_EQ(b.size(), sizeof s);
        std::memcpy(&s, b.data(), std::min(b.size(), sizeof s));
        return s.kel_stat_cnt.kelf;
    }

    static Ports ports(const FmsimOutcome &o, bool mirrors = false) {
        Ports p;
        for (const auto &f : o.frames)
            if (mirrors == (f.kind == FmsimEmitKind::Mirror)) p.insert(f.port);
        return p;
    }
    static Ports range(int from, int to, int except) {
        Ports p;
        for (int i = from; i <= to; ++i)
            if (i != except) p.insert(i);
        return p;
    }

    kelf::Dispatcher d_;
};

FrameDef broadcast() {
    FrameDef s;
    s.dmac = 0xFFFFFFFFFFFFull;
    return s;
}

// Unicast to an address no port has sent from: flooded like a broadcast.
FrameDef unknown_unicast(std::uint64_t src = 0x020000000001ull) {
    FrameDef s;
    s.smac = src;
    s.dmac = 0x02000000AAAAull;
    s.l3 = L3::Ipv4;
    s.protocol = 17;
    return s;
}

TEST_F(Forwarding, EachConfigurationForwardsAsItsMasksSay) {
    struct Case {
        int cfg, port;
        FrameDef frame;
        Ports expect;
    };
    const Case cases[] = {
        {5, 3, broadcast(), {}},
        {6, 3, broadcast(), range(1, 47, 3)},
        {6, 48, broadcast(), range(1, 47, 48)},  // 48 keeps its own mask, but is in no other
        {1, 1, unknown_unicast(), {2}},
        {1, 4, broadcast(), {3}},
        {2, 50000, unknown_unicast(), {1}},
        {2, 50003, unknown_unicast(), {4}},
        {2, 1, unknown_unicast(), {5}},
        {2, 5, broadcast(), {1, 2, 3, 4}},
    };
    for (const Case &c : cases) {
        SetUp();
        cfg(c.cfg);
        FmsimTrace t;
        FmsimOutcome o = fmsim_inject(0, c.port, build(c.frame), &t);
        EXPECT_EQ(ports(o), c.expect) << "configuration " << c.cfg << ", port " << c.port;
        EXPECT_EQ(o.drop, c.expect.empty() ? FmsimDrop::NoDestination : FmsimDrop::None)
            << "configuration " << c.cfg << ", port " << c.port;
        if (c.cfg == 2 && c.port >= 50000) {
            EXPECT_EQ(t.deciding.acl, 0);
            EXPECT_GE(t.deciding.rule, 0) << "a redirect rule of configuration 2 decides";
        }
    }
}

TEST_F(Forwarding, EachActionDoesWhatItSays) {
    cfg(6);
    if_kel_lbg_t mir = lbg(KEL_MIR_ADD);
    mir.lbg = 10;
    ASSERT_EQ(status(mir), 0);
    int group = status(lbg(KEL_LBG_ADD, {20}));
    ASSERT_GE(group, 0);
    struct Case {
        const char *name;
        int code;
        int redir;
        Ports expect;
        Ports mirrored;
        FmsimDrop drop;
    };
    const Case cases[] = {
        {"drop", 0x2, 0, {}, {}, FmsimDrop::RuleDrop},
        {"permit", 0x1, 0, range(1, 47, 3), {}, FmsimDrop::None},
        {"count only", 0x0, 0, range(1, 47, 3), {}, FmsimDrop::None},
        {"redirect", 0x8000, 7, {7}, {}, FmsimDrop::None},
        {"redirect outside the masks", 0x8000, 48, {48}, {}, FmsimDrop::None},
        {"load-balance", 0x2000, group, {20}, {}, FmsimDrop::None},
        {"mirror", 0x8, 0, range(1, 47, 3), {10}, FmsimDrop::None},
        {"redirect and drop", 0x8002, 7, {}, {}, FmsimDrop::RuleDrop},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(status(kel(KEL_CLEAR)), 0);
        if_kel_t r = kel(KEL_SET_RULE);
        r.action = c.code;
        r.kel_mem.port = 3;
        r.kel_mem.redir_port = c.redir;
        r.kel_mem.mirror_port = 10;
        ASSERT_GE(status(r), 0) << c.name;
        FmsimOutcome o = fmsim_inject(0, 3, build(unknown_unicast()));
        EXPECT_EQ(ports(o), c.expect) << c.name;
        EXPECT_EQ(ports(o, true), c.mirrored) << c.name;
        EXPECT_EQ(o.drop, c.drop) << c.name;
        EXPECT_EQ(ports(fmsim_inject(0, 4, build(broadcast()))), range(1, 47, 4))
            << c.name << ": frames from another port are left alone";
    }
}

TEST_F(Forwarding, TheLowestRuleDecidesInAGroupAndTheLowestDecidingGroupAcrossThem) {
    cfg(6);
    auto frame = build(unknown_unicast());
    // In a group: rule 5 redirects, rule 9 drops; 5 holds.
    if_kel_t r = kel(KEL_SET_RULE);
    r.kel_mem.port = 3;
    r.kel_mem.rule_id = 9;
    r.action = 0x2;
    ASSERT_EQ(status(r), 9);
    r.kel_mem.rule_id = 5;
    r.action = 0x8000;
    r.kel_mem.redir_port = 7;
    ASSERT_EQ(status(r), 5);
    FmsimTrace t;
    EXPECT_EQ(ports(fmsim_inject(0, 3, frame, &t)), Ports{7});
    EXPECT_EQ(t.deciding.rule, 5);

    // Across groups: group 1 drops, but group 0's redirect comes first.
    r = kel(KEL_SET_RULE);
    r.kel_mem.port = 3;
    r.kel_mem.group = 1;
    r.action = 0x2;
    ASSERT_GE(status(r), 0);
    EXPECT_EQ(ports(fmsim_inject(0, 3, frame, &t)), Ports{7});
    ASSERT_EQ(t.hits.size(), 2u);
    EXPECT_GE(t.hits[1].rule, 0) << "group 1 hits too, but does not decide";
    EXPECT_EQ(t.deciding.acl, 0);

    // A hit that only rewrites does not decide: group 1's drop then does,
    // while the VLAN comes from group 0.
    ASSERT_EQ(status(kel(KEL_CLEAR)), 0);
    r = kel(KEL_SET_RULE);
    r.kel_mem.port = 3;
    r.action = 0x100;
    r.kel_mem.vlan_act = 100;
    ASSERT_GE(status(r), 0);
    r.kel_mem.group = 1;
    r.action = 0x2;
    ASSERT_GE(status(r), 0);
    FmsimOutcome o = fmsim_inject(0, 3, frame, &t);
    EXPECT_EQ(o.drop, FmsimDrop::RuleDrop);
    EXPECT_EQ(t.deciding.acl, 1);
    EXPECT_EQ(t.vlan, 100);
}

TEST_F(Forwarding, RewritesShowInTheFramesThatLeave) {
    cfg(6);
    // VLAN 100 is tagged on every port after bring-up, VLAN 1 untagged.
    if_kel_t r = kel(KEL_SET_RULE);
    r.kel_mem.port = 3;
    r.action = 0x8000 | 0x100 | 0x200;
    r.kel_mem.redir_port = 7;
    r.kel_mem.vlan_act = 100;
    r.kel_mem.vlan_pri_act = 5;
    ASSERT_GE(status(r), 0);
    auto in = build(unknown_unicast());
    FmsimOutcome o = fmsim_inject(0, 3, in);
    ASSERT_EQ(o.frames.size(), 1u);
    const auto &out = o.frames[0].bytes;
    ASSERT_EQ(out.size(), in.size() + 4);
    EXPECT_EQ(out[12], 0x81);
    EXPECT_EQ(out[13], 0x00);
    EXPECT_EQ(out[14], (5 << 5) | 0);  // priority 5, VLAN 100 = 0x064
    EXPECT_EQ(out[15], 0x64);
    EXPECT_TRUE(std::equal(in.begin() + 12, in.end(), out.begin() + 16)) << "the rest as received";

    // A tagged frame leaving on untagged VLAN 1 loses its tag.
    ASSERT_EQ(status(kel(KEL_CLEAR)), 0);
    FrameDef tagged = unknown_unicast();
    tagged.tags = {{0x8100, 1, 3}};
    auto t = build(tagged);
    o = fmsim_inject(0, 3, t);
    ASSERT_FALSE(o.frames.empty());
    EXPECT_EQ(o.frames[0].bytes.size(), t.size() - 4);
    EXPECT_EQ(o.frames[0].bytes[12], 0x08) << "the EtherType follows the addresses";
}

TEST_F(Forwarding, LoadBalancingSpreadsFlowsEvenlyAndKeepsEachOnOnePort) {
    cfg(5);
    int group = status(lbg(KEL_LBG_ADD, {10, 11, 12, 13}));
    ASSERT_GE(group, 0);
    ASSERT_GE(rule(0x2000, 3, 0, nullptr, group), 0);
    std::map<int, int> per_port;
    FrameDef s = unknown_unicast();
    s.protocol = 6;
    const int flows = 10000;
    for (int i = 0; i < flows; ++i) {
        s.src_ip = 0x0A000000u + static_cast<std::uint32_t>(i / 100);
        s.src_port = static_cast<std::uint16_t>(1024 + i % 100);
        FmsimOutcome o = fmsim_inject(0, 3, build(s));
        ASSERT_EQ(o.frames.size(), 1u);
        ++per_port[o.frames[0].port];
    }
    ASSERT_EQ(per_port.size(), 4u);
    for (auto [port, n] : per_port) {
        EXPECT_GE(n, flows / 4 * 9 / 10) << "port " << port;
        EXPECT_LE(n, flows / 4 * 11 / 10) << "port " << port;
    }
    s.src_ip = 0x0A0000FF;
    s.src_port = 4242;
    FmsimTrace first;
    int port = fmsim_inject(0, 3, build(s), &first).frames.at(0).port;
    EXPECT_EQ(first.lbg, group);
    EXPECT_EQ(first.bin, static_cast<int>(first.hash % 256));
    for (std::size_t len : {64u, 200u, 1500u}) {
        s.length = len;
        EXPECT_EQ(fmsim_inject(0, 3, build(s)).frames.at(0).port, port) << "one flow, one port";
    }
}

TEST_F(Forwarding, TheSymmetricHashSendsBothDirectionsOfAFlowToOnePort) {
    cfg(5);
    int group = status(lbg(KEL_LBG_ADD, {10, 11, 12, 13, 14, 15, 16}));
    ASSERT_GE(rule(0x2000, 3, 0, nullptr, group), 0);
    auto both_ways_agree = [&] {
        int agree = 0;
        for (int i = 0; i < 200; ++i) {
            FrameDef a = unknown_unicast();
            a.protocol = 6;
            a.src_ip = 0x0A000001u + static_cast<std::uint32_t>(i);
            a.dst_ip = 0xC0A80001u + static_cast<std::uint32_t>(i * 7);
            a.src_port = static_cast<std::uint16_t>(30000 + i);
            a.dst_port = 443;
            FrameDef b = a;
            std::swap(b.src_ip, b.dst_ip);
            std::swap(b.src_port, b.dst_port);
            agree += fmsim_inject(0, 3, build(a)).frames.at(0).port ==
                     fmsim_inject(0, 3, build(b)).frames.at(0).port;
        }
        return agree;
    };
    EXPECT_LT(both_ways_agree(), 100) << "without the symmetric options directions differ";
    if_kel_t h = kel(KEL_SET_L3_HASH);
    h.l3_hash.l3_hash_set = 0x100 | 0x200;
    h.l3_hash.sym_l3_fields = 1;
    h.l3_hash.sym_l4_fields = 1;
    ASSERT_EQ(status(h), 0);
    EXPECT_EQ(both_ways_agree(), 200);
}

TEST_F(Forwarding, MirrorsCopyOnTheirVlan) {
    cfg(6);
    if_kel_lbg_t mir = lbg(KEL_MIR_ADD, {3});
    mir.lbg = 10;
    ASSERT_EQ(status(mir), 0);
    if_kel_t v = kel(KEL_MIR_VLAN_ADD);
    v.port = 10;
    v.group = 200;
    ASSERT_EQ(status(v), 0);
    auto in = build(unknown_unicast());
    FmsimOutcome o = fmsim_inject(0, 3, in);
    EXPECT_EQ(ports(o), range(1, 47, 3)) << "the frame itself goes on";
    ASSERT_EQ(ports(o, true), Ports{10});
    const FmsimEmit *copy = nullptr;
    for (const auto &f : o.frames)
        if (f.kind == FmsimEmitKind::Mirror) copy = &f;
    ASSERT_EQ(copy->source, 10);
    ASSERT_EQ(copy->bytes.size(), in.size() + 4);
    EXPECT_EQ(copy->bytes[14] & 0x0F, 0);
    EXPECT_EQ(copy->bytes[15], 200);
    EXPECT_TRUE(fmsim_inject(0, 4, in).frames.size() == 46) << "port 4 is not monitored";
}

TEST_F(Forwarding, AMulticastRedirectReplicatesOnTheListenersVlans) {
    cfg(5);
    int group = status(kel(KEL_MCG_CREATE));
    ASSERT_GE(group, 0);
    if_kel_t gp = kel(KEL_MCG_GET_PORT);
    gp.group = group;
    int mport = status(gp);
    ASSERT_GT(mport, 0);
    for (auto [port, vlan] : {std::pair{5, 100}, {6, 200}, {7, 1}}) {
        if_kel_t l = kel(KEL_MCG_ADD_LISTENER);
        l.group = group;
        l.port = port;
        l.val = vlan;
        ASSERT_EQ(status(l), 0);
    }
    ASSERT_GE(rule(0x8000, 3, 0, nullptr, mport), 0);
    auto in = build(unknown_unicast());
    FmsimOutcome o = fmsim_inject(0, 3, in);
    ASSERT_EQ(o.frames.size(), 3u);
    std::map<int, int> vlan_of;
    for (const auto &f : o.frames) {
        EXPECT_EQ(f.kind, FmsimEmitKind::Multicast);
        EXPECT_EQ(f.source, group);
        vlan_of[f.port] =
            f.bytes.size() == in.size() ? 1 : ((f.bytes[14] & 0x0F) << 8) | f.bytes[15];
    }
    EXPECT_EQ(vlan_of, (std::map<int, int>{{5, 100}, {6, 200}, {7, 1}}));
}

TEST_F(Forwarding, LearnedAddressesAreForwardedToTheirPortOnly) {
    cfg(6);
    FrameDef a = unknown_unicast(0x020000000011ull);
    a.dmac = 0x020000000022ull;
    EXPECT_EQ(ports(fmsim_inject(0, 1, build(a))).size(), 46u) << "unknown: flooded";
    FrameDef b = a;
    std::swap(b.smac, b.dmac);
    FmsimTrace t;
    EXPECT_EQ(ports(fmsim_inject(0, 2, build(b), &t)), Ports{1});
    EXPECT_TRUE(t.learned);
    EXPECT_EQ(ports(fmsim_inject(0, 1, build(a))), Ports{2});
    EXPECT_EQ(fmsim_learned_port(0, 1, 0x020000000011ull), 1);

    // A destination behind the ingress port itself goes nowhere.
    FrameDef c = a;
    c.smac = 0x020000000033ull;
    c.dmac = 0x020000000011ull;
    EXPECT_EQ(fmsim_inject(0, 1, build(c)).drop, FmsimDrop::NoDestination);
}

TEST_F(Forwarding, PortAndRuleCountersCountTheTraffic) {
    cfg(6);
    if_kel_t r = kel(KEL_SET_RULE);
    r.kel_mem.port = 3;
    r.action = 0x8000 | 0x400;
    r.kel_mem.redir_port = 7;
    r.kel_mem.user_act = 6;  // switch priority 6
    int id = status(r);
    ASSERT_GE(id, 0);
    FrameDef s = unknown_unicast();
    s.length = 100;
    for (int i = 0; i < 3; ++i) fmsim_inject(0, 3, build(s));
    fmsim_inject(0, 3, build(broadcast()));

    kelf_stat_cnt_t in = stat(3), out = stat(7);
    EXPECT_EQ(in.cntRxUcstPkts, 3u);
    EXPECT_EQ(in.cntRxUcstPktsIPv4, 3u);
    EXPECT_EQ(in.cntRxBcstPkts, 1u);
    EXPECT_EQ(in.cntRx65to127Pkts, 3u);
    EXPECT_EQ(in.cntRx64Pkts, 1u);
    EXPECT_EQ(in.cntRxGoodOctets, 3u * 100 + 64);
    EXPECT_EQ(out.cntTxUcstPkts, 3u);
    EXPECT_EQ(out.cntTxBcstPkts, 1u);
    EXPECT_EQ(out.cntTxOctets, 3u * 100 + 64);

    if_kel_t p = kel(KEL_GET_PRIO_STAT);
    p.kel_mem.port = 3;
    auto b = send(&p, sizeof p);
    kel_stat_t ps{};
    ASSERT_EQ(b.size(), sizeof ps);
    std::memcpy(&ps, b.data(), sizeof ps);
    EXPECT_EQ(ps.kel_stat_cnt.prio_kelf.cntRxPriorityPkts[6], 4u);

    if_kel_t c = kel(KEL_GET_CNT);
    c.rule_id = id;
    b = send(&c, sizeof c);
    kel_rule_stat_t rs{};
    ASSERT_EQ(b.size(), sizeof rs);
    std::memcpy(&rs, b.data(), sizeof rs);
    EXPECT_EQ(rs.ret_val, 0);
    EXPECT_EQ(rs.kel_rule_stat_cnt.counter, 4u);
}

TEST_F(Forwarding, LoopbackReturnsOnceAndPrbsSendsNothing) {
    cfg(6);
    if_kel_t prbs = kel(KEL_SET_PRBS);
    prbs.val = 9;
    prbs.dev = 7;
    prbs.addr = 1;
    ASSERT_EQ(status(prbs), 0);
    Ports expect = range(1, 47, 4);
    expect.erase(9);
    EXPECT_EQ(ports(fmsim_inject(0, 4, build(broadcast()))), expect)
        << "a port in a PRBS test mode sends nothing";

    if_kel_t lb = kel(KEL_SET_LOOPBACK);
    lb.dev = 7;
    lb.val = 1;
    ASSERT_EQ(status(lb), 0);
    ASSERT_GE(rule(0x8000, 3, 0, nullptr, 7), 0);
    FmsimOutcome o = fmsim_inject(0, 3, build(unknown_unicast()));
    EXPECT_EQ(o.looped, 1);
    // Back in at port 7, the frame floods (port 7's mask holds every port)
    // but never out of port 7 itself, nor into the PRBS port.
    expect = range(1, 47, 7);
    expect.erase(9);
    EXPECT_EQ(ports(o), expect);
}

}  // namespace
