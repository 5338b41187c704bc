// fmsim's pipeline on its own: the parser against malformed frames, rules
// taking effect at apply, the fast classifier against the reference scan on
// random rule sets, and frames arriving while rules change.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "fmsim_counters.h"
#include "fmsim_forward.h"
#include "frame_builder.h"
#include "reference_classifier.h"

namespace {

using fmsimtest::build;
using fmsimtest::FrameDef;
using fmsimtest::L3;

// A switch that is up with ports 1..8 up and forwarding in VLAN 1.
void up_switch() {
    fmsim_set_switches(1);
    ASSERT_EQ(fmOSInitialize(), FM_OK);
    ASSERT_EQ(fmInitialize(nullptr), FM_OK);
    ASSERT_EQ(fmSetSwitchState(0, TRUE), FM_OK);
    ASSERT_EQ(fmCreateVlan(0, 1), FM_OK);
    for (int p = 1; p <= 8; ++p) {
        ASSERT_EQ(fmSetPortState(0, p, FM_PORT_STATE_UP, 0), FM_OK);
        ASSERT_EQ(fmAddVlanPort(0, 1, p, FALSE), FM_OK);
        ASSERT_EQ(fmSetVlanPortState(0, 1, p, FM_STP_STATE_FORWARDING), FM_OK);
    }
}

void apply() {
    ASSERT_EQ(fmCompileACL(0, nullptr, 0, 0), FM_OK);
    ASSERT_EQ(fmApplyACL(0, 0), FM_OK);
}

FrameDef tcp4() {
    FrameDef s;
    s.tags = {{0x88A8, 20, 1}, {0x8100, 30, 2}};
    s.l3 = L3::Ipv4;
    s.protocol = 6;
    return s;
}

TEST(FmsimParse, FieldsOfTaggedIpFrames) {
    FrameDef s = tcp4();
    s.src_ip = 0xC0000201;
    s.src_port = 80;
    auto f = fmsim_parse_frame(build(s).data(), build(s).size());
    EXPECT_EQ(f.error, FmsimParseError::None);
    EXPECT_EQ(f.tags, 2);
    EXPECT_EQ(f.tpid[0], 0x88A8);
    EXPECT_EQ(f.vid[0], 20);
    EXPECT_EQ(f.pcp[1], 2);
    EXPECT_EQ(f.ethertype, 0x0800);
    EXPECT_TRUE(f.ipv4 && f.l4);
    EXPECT_EQ(f.src_ip[0], 0xC0000201u);
    EXPECT_EQ(f.src_port, 80);

    FrameDef v6;
    v6.l3 = L3::Ipv6;
    for (int i = 0; i < 16; ++i) v6.src_ip6[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i);
    auto g = fmsim_parse_frame(build(v6).data(), build(v6).size());
    ASSERT_TRUE(g.ipv6);
    // Packed as rules hold IPv6 addresses: bytes 12..15 in word 0, byte 15 on top.
    EXPECT_EQ(g.src_ip[0], 0x0F0E0D0Cu);
    EXPECT_EQ(g.src_ip[3], 0x03020100u);
    EXPECT_TRUE(g.l4);
}

TEST(FmsimParse, EveryCutOfAFrameStopsInsideItsBytes) {
    // Each prefix lives in a buffer of exactly its size: a read past the end
    // is an AddressSanitizer fault.
    for (const FrameDef &s : {tcp4(),
                              [] {
                                  FrameDef v;
                                  v.l3 = L3::Ipv6;
                                  v.protocol = 6;
                                  v.length = 0;
                                  return v;
                              }(),
                              [] {
                                  FrameDef m;
                                  m.l3 = L3::Mpls;
                                  m.length = 0;
                                  return m;
                              }()}) {
        auto full = build(s);
        for (std::size_t n = 0; n <= full.size(); ++n) {
            std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
            auto f = fmsim_parse_frame(cut.empty() ? nullptr : cut.data(), n);
            EXPECT_EQ(f.length, n);
            if (n < 14) EXPECT_EQ(f.error, FmsimParseError::ShortEthernet);
        }
    }
    // Headers that announce more than they have.
    FrameDef bad = tcp4();
    auto b = build(bad);
    b[22] = 0x4F;  // IHL and total length 60 bytes in a 64-byte frame after two tags
    b[24] = 0;
    b[25] = 60;
    EXPECT_EQ(fmsim_parse_frame(b.data(), b.size()).error, FmsimParseError::ShortIp);
    b[22] = 0x44;  // IHL below the minimum
    EXPECT_EQ(fmsim_parse_frame(b.data(), b.size()).error, FmsimParseError::BadIp);
    b[22] = 0x45;
    b[24] = 0x40;  // total length 16K
    EXPECT_EQ(fmsim_parse_frame(b.data(), b.size()).error, FmsimParseError::ShortIp);
}

TEST(FmsimForward, MalformedFramesAreDroppedAndCounted) {
    up_switch();
    std::vector<std::uint8_t> runt(10, 0xAB);
    EXPECT_EQ(fmsim_inject(0, 1, runt).drop, FmsimDrop::Undersized);
    FrameDef s = tcp4();
    s.tags.clear();
    auto b = build(s);
    b.resize(30);  // cut inside the IPv4 header
    FmsimTrace t;
    FmsimOutcome o = fmsim_inject(0, 1, b, &t);
    EXPECT_EQ(o.drop, FmsimDrop::ParseError);
    EXPECT_TRUE(o.frames.empty());
    EXPECT_EQ(t.parsed.error, FmsimParseError::ShortIp);
    fm_portCounters c;
    ASSERT_TRUE(fmsim_get_port_counters(0, 1, &c));
    EXPECT_EQ(c.cntRxUndersizedPkts, 1u);
    EXPECT_EQ(c.cntParseErrDropPkts, 1u);
    EXPECT_EQ(c.cntRxBadOctets, 40u);
    EXPECT_EQ(c.cntRxGoodOctets, 0u);
}

TEST(FmsimForward, RulesMeetFramesFromTheApplyOnAndCountWithTheCountAction) {
    up_switch();
    ASSERT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_OK);
    fm_aclValue v{};
    v.ethType = 0x88B5;
    v.ethTypeMask = 0xFFFF;
    fm_aclParamExt prm{};
    ASSERT_EQ(fmAddACLRuleExt(0, 0, 5, FM_ACL_MATCH_ETHERTYPE, &v,
                              FM_ACL_ACTIONEXT_DENY | FM_ACL_ACTIONEXT_COUNT, &prm),
              FM_OK);
    auto frame = build(FrameDef{});
    EXPECT_NE(fmsim_inject(0, 1, frame).drop, FmsimDrop::RuleDrop) << "added, not applied";
    ASSERT_EQ(fmCompileACL(0, nullptr, 0, 0), FM_OK);
    EXPECT_NE(fmsim_inject(0, 1, frame).drop, FmsimDrop::RuleDrop) << "compiled, not applied";
    ASSERT_EQ(fmApplyACL(0, 0), FM_OK);
    EXPECT_EQ(fmsim_inject(0, 1, frame).drop, FmsimDrop::RuleDrop);
    EXPECT_EQ(fmsim_inject(0, 2, frame).drop, FmsimDrop::RuleDrop);
    fm_uint64 n = 0;
    ASSERT_EQ(fmGetACLCount(0, 0, 5, &n), FM_OK);
    EXPECT_EQ(n, 2u);

    // A removal, like an addition, waits for the apply.
    ASSERT_EQ(fmDeleteACLRule(0, 0, 5), FM_OK);
    EXPECT_EQ(fmsim_inject(0, 1, frame).drop, FmsimDrop::RuleDrop);
    apply();
    EXPECT_NE(fmsim_inject(0, 1, frame).drop, FmsimDrop::RuleDrop);
}

TEST(FmsimForward, FramesMayArriveWhileRulesChange) {
    up_switch();
    ASSERT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_OK);
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    std::thread sender([&] {
        FrameDef s = tcp4();
        s.tags.clear();
        while (!stop.load()) {
            s.src_port = static_cast<std::uint16_t>(frames.load() % 50);
            fmsim_inject(0, 1 + static_cast<int>(frames.load() % 8), build(s));
            ++frames;
        }
    });
    fm_aclValue v{};
    fm_aclParamExt prm{};
    for (int id = 1; id <= 300; ++id) {
        v.L4SrcStart = static_cast<fm_uint16>(id % 50);
        ASSERT_EQ(
            fmAddACLRuleExt(0, 0, id, FM_ACL_MATCH_L4_SRC_PORT, &v, FM_ACL_ACTIONEXT_COUNT, &prm),
            FM_OK);
        apply();
        if (id % 3 == 0) {
            ASSERT_EQ(fmDeleteACLRule(0, 0, id - 1), FM_OK);
            apply();
        }
    }
    while (frames.load() < 300) std::this_thread::yield();
    stop = true;
    sender.join();
    // Rule 1 (source port 1) stayed throughout and counts the next such frame.
    fm_uint64 before = 0, after = 0;
    ASSERT_EQ(fmGetACLCount(0, 0, 1, &before), FM_OK);
    FrameDef s = tcp4();
    s.tags.clear();
    s.src_port = 1;
    EXPECT_EQ(fmsim_inject(0, 1, build(s)).drop, FmsimDrop::None);
    ASSERT_EQ(fmGetACLCount(0, 0, 1, &after), FM_OK);
    EXPECT_EQ(after, before + 1);
}

// ---- The fast classifier against the reference scan -----------------------

// Random rules and frames drawn from small pools of values, so that rules
// hit often and overlap.
class Differential {
public:
    explicit Differential(std::uint32_t seed) : rng_(seed) {
        for (int i = 0; i < 3; ++i) {
            fm_int set = -1;
            EXPECT_EQ(fmCreatePortSet(0, &set), FM_OK);
            for (int p = 1 + 2 * i; p <= 2 + 3 * i; ++p)
                EXPECT_EQ(fmAddPortSetPort(0, set, p), FM_OK);
            sets_.push_back(set);
        }
        for (int p = 1; p <= 8; ++p) {
            fm_uint32 g = 0;
            EXPECT_EQ(fmGetStackGlort(0, p, &g), FM_OK);
            glorts_.push_back(g);
        }
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(int percent) { return pick(100) < percent; }
    template <class T>
    T of(std::initializer_list<T> l) {
        return l.begin()[pick(static_cast<int>(l.size()))];
    }

    std::uint64_t mac() { return 0x020000000000ull | of({1, 2, 3, 0x100, 0xFF00}); }
    std::uint32_t ip4() { return 0x0A000000u | of<std::uint32_t>({1, 2, 0x101, 0x201, 0xFF01}); }
    std::uint8_t ip6_byte() { return of<std::uint8_t>({0, 1, 0x20, 0xFE}); }
    std::uint16_t l4() { return of<std::uint16_t>({53, 80, 443, 1000, 1001, 0x1F90}); }
    std::uint16_t tpid() { return of<std::uint16_t>({0x8100, 0x88A8, 0x9100, 0x9200}); }

    void random_ip(fm_ipAddr *v, fm_ipAddr *m) {
        bool v6 = chance(30);
        *v = {};
        *m = {};
        v->isIPv6 = m->isIPv6 = v6 ? TRUE : FALSE;
        if (v6) {
            for (int w = 0; w < 4; ++w) {
                v->addr[w] = ip6_byte() * 0x01010101u;
                m->addr[w] = of<std::uint32_t>({0xFFFFFFFF, 0, 0xFF000000});
            }
        } else {
            v->addr[0] = ip4();
            m->addr[0] = of<std::uint32_t>({0xFFFFFFFF, 0xFFFFFF00, 0xFF000000, 0x000000FF});
        }
    }

    void add_rule(int acl, int id) {
        fm_aclCondition c = 0;
        fm_aclValue v{};
        fm_aclParamExt prm{};
        if (chance(25))
            c |= FM_ACL_MATCH_SRC_MAC, v.src = mac(),
                                       v.srcMask = of<std::uint64_t>({0xFFFFFFFFFFFF, 0xFF});
        if (chance(25)) c |= FM_ACL_MATCH_DST_MAC, v.dst = mac(), v.dstMask = 0xFFFFFFFFFFFF;
        if (chance(25))
            c |= FM_ACL_MATCH_ETHERTYPE,
                v.ethType = of<std::uint16_t>({0x0800, 0x86DD, 0x8847, 0x88B5}),
                v.ethTypeMask = of<std::uint16_t>({0xFFFF, 0xFF00});
        if (chance(20))
            c |= FM_ACL_MATCH_VLAN, v.vlanId = static_cast<fm_uint16>(1 + pick(4)),
                                    v.vlanIdMask = 0x0FFF;
        if (chance(25)) c |= FM_ACL_MATCH_SRC_IP, random_ip(&v.srcIp, &v.srcIpMask);
        if (chance(25)) c |= FM_ACL_MATCH_DST_IP, random_ip(&v.dstIp, &v.dstIpMask);
        if (chance(20))
            c |= FM_ACL_MATCH_PROTOCOL, v.protocol = of<std::uint8_t>({6, 17, 1}),
                                        v.protocolMask = 0xFF;
        if (chance(15)) {
            c |= FM_ACL_MATCH_L4_SRC_PORT;
            v.L4SrcStart = l4();
            if (chance(40)) v.L4SrcEnd = static_cast<fm_uint16>(v.L4SrcStart + pick(600));
        }
        if (chance(15)) c |= FM_ACL_MATCH_L4_DST_PORT, v.L4DstStart = l4();
        if (chance(15))
            c |= FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK, v.L4SrcStart = l4(), v.L4SrcMask = 0xFF00;
        if (chance(15))
            c |= FM_ACL_MATCH_L4_DST_PORT_WITH_MASK,
                v.L4DstStart = l4(), v.L4DstMask = of<std::uint16_t>({0xFFFF, 0xFFF0});
        if (chance(10)) {
            c |= FM_ACL_MATCH_NON_IP_PAYLOAD;
            v.nonIPPayload[0] = 0x00;
            v.nonIPPayloadMask[0] = 0xFF;
            v.nonIPPayload[1] = of<std::uint8_t>({0x06, 0x40});
            v.nonIPPayloadMask[1] = 0xF0;
            v.nonIPPayloadMask[31] = static_cast<fm_byte>(chance(50) ? 0xFF : 0);
        }
        if (chance(10))
            c |= FM_ACL_MATCH_INGRESS_PORT_SET, v.portSet = sets_[static_cast<size_t>(pick(3))];
        if (chance(10)) {
            c |= FM_ACL_MATCH_VLAN_TAG_TYPE;
            int t = pick(11);
            std::memcpy(&v.vlanTag, &t, sizeof t);
        }
        if (chance(20))
            c |= FM_ACL_MATCH_SRC_GLORT,
                v.srcGlort = static_cast<fm_uint16>(glorts_[static_cast<size_t>(pick(8))]),
                v.srcGlortMask = of<std::uint16_t>({0xFFFF, 0xFFF0});
        ASSERT_EQ(fmAddACLRuleExt(0, acl, id, c, &v, FM_ACL_ACTIONEXT_COUNT, &prm), FM_OK);
    }

    std::vector<std::uint8_t> frame(int *port) {
        FrameDef s;
        s.dmac = mac();
        s.smac = mac();
        for (int n = pick(3); n > 0; --n)
            s.tags.push_back(
                {tpid(), static_cast<std::uint16_t>(pick(5)), static_cast<std::uint8_t>(pick(8))});
        s.l3 = of({L3::None, L3::Ipv4, L3::Ipv4, L3::Ipv6, L3::Mpls});
        s.ethertype = of<std::uint16_t>({0x88B5, 0x0806, 0x8800});
        s.src_ip = ip4();
        s.dst_ip = ip4();
        for (auto &b : s.src_ip6) b = ip6_byte();
        for (auto &b : s.dst_ip6) b = ip6_byte();
        s.protocol = of<std::uint8_t>({6, 17, 17, 1});
        s.fragment = chance(5);
        s.src_port = chance(20) ? static_cast<std::uint16_t>(l4() + pick(700)) : l4();
        s.dst_port = l4();
        s.payload = {0x00, of<std::uint8_t>({0x06, 0x4F, 0x10})};
        if (chance(20)) s.payload.resize(40, 0xFF);
        s.length = static_cast<std::size_t>(of({64, 64, 128, 300}));
        *port = 1 + pick(8);
        return build(s);
    }

    // Frames through both classifiers; returns how many hit some rule.
    long check(int frames) {
        fmsimtest::ReferenceClassifier ref;
        ref.snapshot(0, 4);
        long hit = 0;
        std::vector<FmsimAclHit> fast;
        for (int i = 0; i < frames; ++i) {
            int port = 0;
            auto b = frame(&port);
            FmsimParsedFrame f;
            int vlan = 0;
            if (!fmsim_classify(0, port, b.data(), b.size(), &f, &vlan, &fast)) {
                ADD_FAILURE() << "a built frame did not parse";
                return hit;
            }
            auto slow = ref.classify(f, vlan, port, glorts_[static_cast<size_t>(port - 1)]);
            bool same = slow.size() == fast.size();
            for (std::size_t k = 0; same && k < slow.size(); ++k)
                same = slow[k].acl == fast[k].acl && slow[k].rule == fast[k].rule;
            if (!same) {
                std::string text;
                for (std::size_t k = 0; k < std::max(slow.size(), fast.size()); ++k)
                    text += " acl " + std::to_string(k < slow.size() ? slow[k].acl : -9) +
                            ": ref " + std::to_string(k < slow.size() ? slow[k].rule : -9) +
                            " fast " + std::to_string(k < fast.size() ? fast[k].rule : -9);
                ADD_FAILURE() << "frame " << i << " on port " << port << ":" << text;
                return hit;
            }
            for (const auto &h : slow) hit += h.rule >= 0;
        }
        return hit;
    }

private:
    std::mt19937 rng_;
    std::vector<fm_int> sets_;
    std::vector<fm_uint32> glorts_;
};

TEST(FmsimClassifier, FindsWhatTheReferenceScanFinds) {
    up_switch();
    Differential d(20240611);
    for (int acl = 0; acl < 4; ++acl) ASSERT_EQ(fmCreateACLExt(0, acl, 0x43F7, 0), FM_OK);
    long frames = 0, hits = 0;
    // Rounds of growing rule sets, ending at four full ACLs; each round also
    // removes and replaces rules, so that the incremental updates are checked.
    struct Round {
        int acls, rules, frames;
    };
    const Round rounds[] = {{1, 1, 2000},     {1, 16, 8000},    {2, 64, 15000},  {4, 256, 20000},
                            {3, 1024, 28000}, {1, 4096, 15000}, {4, 4096, 12000}};
    std::vector<std::vector<int>> ids(4);
    for (const Round &r : rounds) {
        for (int acl = 0; acl < 4; ++acl) {
            for (int id : ids[static_cast<size_t>(acl)])
                ASSERT_EQ(fmDeleteACLRule(0, acl, id), FM_OK);
            ids[static_cast<size_t>(acl)].clear();
        }
        for (int acl = 0; acl < r.acls; ++acl)
            for (int k = 0; k < r.rules; ++k) {
                // Sparse, unordered numbers, as rule ids chosen by clients are.
                int id = static_cast<int>((static_cast<unsigned>(k) * 2654435761u) % 100000u);
                if (std::find(ids[static_cast<size_t>(acl)].begin(),
                              ids[static_cast<size_t>(acl)].end(),
                              id) != ids[static_cast<size_t>(acl)].end())
                    continue;
                d.add_rule(acl, id);
                ids[static_cast<size_t>(acl)].push_back(id);
            }
        apply();
        hits += d.check(r.frames / 2);
        for (auto &list : ids) {
            for (std::size_t k = 0; k < list.size(); k += 7) {
                ASSERT_EQ(fmDeleteACLRule(0, static_cast<int>(&list - ids.data()), list[k]), FM_OK);
                d.add_rule(static_cast<int>(&list - ids.data()), list[k]);  // same number, new rule
            }
        }
        apply();
        hits += d.check(r.frames - r.frames / 2);
        frames += r.frames;
        if (HasFailure()) return;
    }
    EXPECT_GE(frames, 100000);
    EXPECT_GT(hits, frames / 5) << "the random rules should hit often";
}

// Thousands of distinct values in one mask make long probe runs in the
// classifier's table; removing most of them in random order must leave every
// remaining value findable and every removed one gone.
TEST(FmsimClassifier, ManyValuesOfOneMaskSurviveRemovalsInAnyOrder) {
    up_switch();
    ASSERT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_OK);
    std::mt19937 rng(99);
    std::vector<std::uint32_t> addrs;
    for (std::uint32_t k = 0; k < 3000; ++k)
        addrs.push_back(0x0A000000u | (k * 40503u & 0xFFFFFFu));
    auto add = [](int id, std::uint32_t a) {
        fm_aclValue v{};
        fm_aclParamExt prm{};
        v.dstIp.addr[0] = a;
        v.dstIpMask.addr[0] = 0xFFFFFFFF;
        ASSERT_EQ(fmAddACLRuleExt(0, 0, id, FM_ACL_MATCH_DST_IP, &v, FM_ACL_ACTIONEXT_COUNT, &prm),
                  FM_OK);
    };
    for (std::size_t k = 0; k < addrs.size(); ++k) add(static_cast<int>(k), addrs[k]);
    apply();
    std::vector<int> order(addrs.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
    std::shuffle(order.begin(), order.end(), rng);
    // Remove two thirds in two applies, putting a few back under new numbers.
    for (int step = 0; step < 2; ++step) {
        for (std::size_t k = static_cast<size_t>(step) * 1000;
             k < static_cast<size_t>(step + 1) * 1000; ++k)
            ASSERT_EQ(fmDeleteACLRule(0, 0, order[k]), FM_OK);
        for (std::size_t k = static_cast<size_t>(step) * 1000;
             k < static_cast<size_t>(step) * 1000 + 50; ++k)
            add(10000 + order[k], addrs[static_cast<size_t>(order[k])]);
        apply();
        fmsimtest::ReferenceClassifier ref;
        ref.snapshot(0, 1);
        fm_uint32 glort = 0;
        ASSERT_EQ(fmGetStackGlort(0, 1, &glort), FM_OK);
        for (std::uint32_t a : addrs) {
            FrameDef s = tcp4();
            s.dst_ip = a;
            auto b = build(s);
            FmsimParsedFrame f;
            int vlan = 0;
            std::vector<FmsimAclHit> fast;
            ASSERT_TRUE(fmsim_classify(0, 1, b.data(), b.size(), &f, &vlan, &fast));
            auto slow = ref.classify(f, vlan, 1, glort);
            ASSERT_EQ(fast.size(), 1u);
            ASSERT_EQ(slow.size(), 1u);
            ASSERT_EQ(fast[0].rule, slow[0].rule)
                << "address " << std::hex << a << " after step " << step;
        }
    }
}

// The address table grows as hosts appear and keeps every one of them.
TEST(FmsimForward, LearnsThousandsOfAddresses) {
    up_switch();
    for (int h = 0; h < 5000; ++h) {
        FrameDef s;
        s.smac = 0x020000100000ull + static_cast<std::uint64_t>(h);
        s.dmac = 0xFFFFFFFFFFFFull;
        ASSERT_EQ(fmsim_inject(0, 1 + h % 8, build(s)).drop, FmsimDrop::None);
    }
    for (int h = 0; h < 5000; ++h)
        ASSERT_EQ(fmsim_learned_port(0, 1, 0x020000100000ull + static_cast<std::uint64_t>(h)),
                  1 + h % 8);
    EXPECT_EQ(fmsim_learned_port(0, 1, 0x020000100000ull + 5000), -1);
    EXPECT_EQ(fmsim_learned_port(0, 2, 0x020000100000ull), -1);
    // A host that moves is found on its new port.
    FrameDef s;
    s.smac = 0x020000100000ull;
    s.dmac = 0xFFFFFFFFFFFFull;
    fmsim_inject(0, 5, build(s));
    EXPECT_EQ(fmsim_learned_port(0, 1, 0x020000100000ull), 5);
    fmsim_flush_learned(0);
    EXPECT_EQ(fmsim_learned_port(0, 1, 0x020000100000ull), -1);
}

}  // namespace
