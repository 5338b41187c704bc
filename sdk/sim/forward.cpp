// forward.cpp - fmsim's forwarding pipeline: a frame received on a port goes
// through ingress checks, parsing, ingress mirrors, the rules in force,
// redirect, load-balancing, L2 learning and flooding within the port masks,
// and egress checks, moving the counters of every port and rule it meets.
// docs/fmsim.md is the reference of this model; keep the two together.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "classifier.h"
#include "egress.h"
#include "fmsim_forward.h"
#include "frame.h"
#include "sim.h"

namespace fmsim {
namespace {

// The learned address table holds this many entries per switch; addresses
// are never aged out.
constexpr std::size_t kLearnCapacity = 16384;

// The learned addresses of one switch, (VLAN, MAC) key to port: an
// open-addressing table (linear probing, a power of two slots, at most half
// full), as two lookups a frame make it hot. Entries are only ever added or
// moved, or all cleared, so there is no deletion.
class LearnTable {
public:
    // The port of a key, or -1.
    int find(std::uint64_t key) const {
        if (slots_.empty()) return -1;
        const Slot &s = slots_[slot_of(key)];
        return s.port;
    }
    // Sets a key's port; false when the key is new and the table is full.
    bool set(std::uint64_t key, int port) {
        if (slots_.empty()) slots_.resize(64);
        std::size_t i = slot_of(key);
        if (slots_[i].port >= 0) {
            slots_[i].port = port;
            return true;
        }
        if (size_ >= kLearnCapacity) return false;
        if ((size_ + 1) * 2 > slots_.size()) {
            grow();
            i = slot_of(key);
        }
        slots_[i] = {key, port};
        ++size_;
        return true;
    }
    std::size_t size() const { return size_; }
    void clear() {
        slots_.clear();
        size_ = 0;
    }

private:
    struct Slot {
        std::uint64_t key = 0;
        int port = -1;  // -1: free; ports are never negative
    };
    static std::size_t hash(std::uint64_t k) {
        k ^= k >> 33;
        k *= 0xFF51AFD7ED558CCDull;
        return static_cast<std::size_t>(k ^ (k >> 33));
    }
    // The key's slot, or the free slot where it would go.
    std::size_t slot_of(std::uint64_t key) const {
        const std::size_t m = slots_.size() - 1;
        std::size_t i = hash(key) & m;
        while (slots_[i].port >= 0 && slots_[i].key != key) i = (i + 1) & m;
        return i;
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot &s : old)
            if (s.port >= 0) slots_[slot_of(s.key)] = s;
    }
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

std::vector<LearnTable> &learned() {
    static auto *l = new std::vector<LearnTable>;
    return *l;
}

void reset_learned() {
    learned().assign(FM_MAX_NUM_SWITCHES, {});
}

struct Init {
    Init() {
        reset_learned();
        on_reset(reset_learned);
    }
} init;

std::uint64_t learn_key(int vlan, std::uint64_t mac) {
    return (std::uint64_t(vlan & 0xFFF) << 48) | (mac & 0xFFFFFFFFFFFFull);
}

constexpr std::uint64_t kBroadcast = 0xFFFFFFFFFFFFull;
constexpr std::uint64_t kGroupBit = 0x010000000000ull;  // I/G bit of the first byte

bool port_up(const Switch &s, const Port &p) {
    if (!s.up) return false;
    // Internal ports have no link of their own: they carry what the switch
    // itself sends.
    return p.kind == PortKind::Internal || p.mode == FM_PORT_STATE_UP;
}

// Scratch tables reused from frame to frame, one set per pass (a looped
// frame makes a second pass while the first is still going).
struct Scratch {
    std::vector<Classifier::Hit> hits;
    std::vector<MirrorView> mirrors;
    std::vector<std::pair<int, int>> listeners;
};
Scratch &scratch(int depth) {
    static auto *s = new Scratch[2];
    return s[depth];
}

fm_uint64 *rx_size_bucket(fm_portCounters &c, std::size_t n) {
    if (n < 64) return &c.cntRxMinTo63Pkts;
    if (n == 64) return &c.cntRx64Pkts;
    if (n < 128) return &c.cntRx65to127Pkts;
    if (n < 256) return &c.cntRx128to255Pkts;
    if (n < 512) return &c.cntRx256to511Pkts;
    if (n < 1024) return &c.cntRx512to1023Pkts;
    if (n <= 1522) return &c.cntRx1024to1522Pkts;
    if (n < 2048) return &c.cntRx1523to2047Pkts;
    if (n < 4096) return &c.cntRx2048to4095Pkts;
    if (n < 8192) return &c.cntRx4096to8191Pkts;
    if (n < 10240) return &c.cntRx8192to10239Pkts;
    return &c.cntRx10240toMaxPkts;
}

fm_uint64 *tx_size_bucket(fm_portCounters &c, std::size_t n) {
    if (n < 64) return &c.cntTxMinTo63Pkts;
    if (n == 64) return &c.cntTx64Pkts;
    if (n < 128) return &c.cntTx65to127Pkts;
    if (n < 256) return &c.cntTx128to255Pkts;
    if (n < 512) return &c.cntTx256to511Pkts;
    if (n < 1024) return &c.cntTx512to1023Pkts;
    if (n <= 1522) return &c.cntTx1024to1522Pkts;
    if (n < 2048) return &c.cntTx1523to2047Pkts;
    if (n < 4096) return &c.cntTx2048to4095Pkts;
    if (n < 8192) return &c.cntTx4096to8191Pkts;
    if (n < 10240) return &c.cntTx8192to10239Pkts;
    return &c.cntTx10240toMaxPkts;
}

std::uint64_t mix(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint32_t fold_ip(const std::uint32_t (&a)[4], bool v6) {
    return v6 ? a[0] ^ a[1] ^ a[2] ^ a[3] : a[0];
}

// The hash of a frame for load-balancing: the L3/L4 hash for IP frames when
// the L2 key says to use it, the L2 hash otherwise. docs/fmsim.md gives the
// function; tests rely on it being stable.
std::uint32_t frame_hash(fm_int sw, const FmsimParsedFrame &f, int user) {
    const fm_L2HashKey &l2 = l2_hash_key(sw);
    std::uint64_t h;
    if ((f.ipv4 || f.ipv6) && l2.useL3Hash) {
        const fm_L3HashConfig &l3 = l3_hash_config(sw);
        std::uint64_t s = fold_ip(f.src_ip, f.ipv6) & l3.SIPMask;
        std::uint64_t d = fold_ip(f.dst_ip, f.ipv6) & l3.DIPMask;
        if (l3.symmetrizeL3Fields && s > d) std::swap(s, d);
        std::uint64_t sp = f.l4 ? f.src_port & l3.L4SrcMask : 0;
        std::uint64_t dp = f.l4 ? f.dst_port & l3.L4DstMask : 0;
        if (l3.symmetrizeL4Fields && sp > dp) std::swap(sp, dp);
        std::uint64_t w0 = s | (d << 32);
        std::uint64_t w1 = (f.protocol & l3.protocolMask) |
                           (std::uint64_t(f.dscp & l3.DSCPMask) << 8) | (sp << 16) | (dp << 32);
        std::uint64_t w2 = (f.flow_label & l3.flowMask) |
                           (std::uint64_t(static_cast<std::uint32_t>(user) & l3.ISLUserMask) << 32);
        h = mix(mix(mix(0x4C33 ^ w0) ^ w1) ^ w2);
    } else {
        std::uint64_t a = f.smac & l2.SMACMask, b = f.dmac & l2.DMACMask;
        if (l2.symmetrizeMAC && a > b) std::swap(a, b);
        auto tag = [&](int i, std::uint32_t idMask, std::uint32_t priMask) -> std::uint64_t {
            if (i >= f.tags) return 0;
            std::uint32_t pri = (std::uint32_t{f.pcp[i]} << 1) | f.dei[i];
            return (f.vid[i] & idMask) | ((pri & priMask) << 12);
        };
        std::uint64_t w = (f.ethertype & l2.etherTypeMask) |
                          (tag(0, l2.vlanId1Mask, l2.vlanPri1Mask) << 16) |
                          (tag(1, l2.vlanId2Mask, l2.vlanPri2Mask) << 32);
        h = mix(mix(mix(0x4C32 ^ a) ^ b) ^ w);
    }
    return static_cast<std::uint32_t>(h >> 32);
}

// One frame's pass through the pipeline.
class Pass {
public:
    Pass(fm_int sw, fm_int port, const std::uint8_t *bytes, std::size_t length, FmsimOutcome *out,
         FmsimTrace *trace, int depth)
        : sw_(sw),
          port_(port),
          bytes_(bytes),
          len_(length),
          out_(out),
          trace_(trace),
          depth_(depth),
          scratch_(scratch(depth)) {}

    void run();

private:
    void note_line(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void drop(FmsimDrop why) { out_->drop = why; }
    bool ingress();
    void mirrors_in();
    void mirror_copy(const MirrorView &m, const std::uint8_t *bytes, std::size_t n);
    bool rules();
    void forward();
    void l2();
    bool egress(fm_int q, int vlan, FmsimEmitKind kind, int source);
    void rewrite(int vlan, bool tagged, std::vector<std::uint8_t> *bytes) const;
    void count_tx(int index, const std::vector<std::uint8_t> &bytes);

    fm_int sw_, port_;
    const std::uint8_t *bytes_;
    std::size_t len_;
    FmsimOutcome *out_;
    FmsimTrace *trace_;
    int depth_;
    Scratch &scratch_;

    Switch *s_ = nullptr;
    Port *p_ = nullptr;
    int index_ = -1;
    fm_portCounters *rx_ = nullptr;
    FmsimParsedFrame f_;
    int vlan_ = 0, pri_ = 0, dei_ = 0, swpri_ = 0, user_ = 0;
    std::uint64_t mirrored_ = 0;  // mirrors that already sent a copy (numbers below 64)
    const LiveRule *deciding_ = nullptr;
    bool left_ = false;  // some frame left (or looped)
};

// A trace line; without a trace the arguments are not even evaluated, since
// the formatting call is most of a frame's fixed cost otherwise.
#define NOTE(...)                                                           \
    do {                                                                    \
        if (trace_ != nullptr && !trace_->no_lines) note_line(__VA_ARGS__); \
    } while (0)

void Pass::note_line(const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    trace_->lines.emplace_back(line);
}

bool Pass::ingress() {
    s_ = find_switch(sw_);
    if (s_ == nullptr || !s_->up) {
        NOTE("ingress: switch %d is not up", sw_);
        drop(FmsimDrop::NoSwitch);
        return false;
    }
    index_ = port_index(*s_, port_);
    if (index_ < 0 || index_ >= kMaxPortIndex) {
        NOTE("ingress: switch %d has no port %d", sw_, port_);
        drop(FmsimDrop::NoPort);
        return false;
    }
    p_ = &s_->ports[static_cast<size_t>(index_)];
    if (!port_up(*s_, *p_)) {
        NOTE("ingress: port %d is not up (mode %d)", port_, p_->mode);
        drop(FmsimDrop::PortDown);
        return false;
    }
    rx_ = port_counters(sw_, index_);
    if (len_ < 14) {
        ++rx_->cntRxUndersizedPkts;
        rx_->cntRxBadOctets += len_;
        NOTE("ingress: %zu bytes, shorter than an Ethernet header", len_);
        drop(FmsimDrop::Undersized);
        return false;
    }
    if (len_ > static_cast<std::size_t>(std::max(p_->max_frame_size, 0))) {
        ++rx_->cntRxOversizedPkts;
        rx_->cntRxBadOctets += len_;
        NOTE("ingress: %zu bytes, above the port's maximum of %d", len_, p_->max_frame_size);
        drop(FmsimDrop::Oversized);
        return false;
    }
    parse_frame(bytes_, len_, &f_);
    if (trace_) trace_->parsed = f_;
    bool bcast = f_.dmac == kBroadcast, mcast = !bcast && (f_.dmac & kGroupBit);
    fm_portCounters &c = *rx_;
    if (bcast) {
        ++c.cntRxBcstPkts;
        ++(f_.ipv4 ? c.cntRxBcstPktsIPv4 : f_.ipv6 ? c.cntRxBcstPktsIPv6 : c.cntRxBcstPktsNonIP);
    } else if (mcast) {
        ++c.cntRxMcstPkts;
        ++(f_.ipv4 ? c.cntRxMcstPktsIPv4 : f_.ipv6 ? c.cntRxMcstPktsIPv6 : c.cntRxMcstPktsNonIP);
    } else {
        ++c.cntRxUcstPkts;
        ++(f_.ipv4 ? c.cntRxUcstPktsIPv4 : f_.ipv6 ? c.cntRxUcstPktsIPv6 : c.cntRxUcstPktsNonIP);
    }
    ++*rx_size_bucket(c, len_);
    if (f_.error != FmsimParseError::None) {
        ++c.cntParseErrDropPkts;
        c.cntRxBadOctets += len_;
        NOTE("parse: stopped at byte %zu, error %d", f_.l3_offset, static_cast<int>(f_.error));
        drop(FmsimDrop::ParseError);
        return false;
    }
    c.cntRxGoodOctets += len_;
    (f_.ipv4 ? c.cntRxOctetsIPv4 : f_.ipv6 ? c.cntRxOctetsIPv6 : c.cntRxOctetsNonIp) += len_;
    NOTE("parse: dmac %012llx smac %012llx, %d tag(s), ethertype 0x%04x%s%s%s",
         static_cast<unsigned long long>(f_.dmac), static_cast<unsigned long long>(f_.smac),
         f_.tags, f_.ethertype,
         f_.ipv4   ? ", IPv4"
         : f_.ipv6 ? ", IPv6"
         : f_.mpls ? ", MPLS"
                   : "",
         f_.l4 ? ", L4 ports" : "", f_.fragment ? ", fragment" : "");

    vlan_ = ingress_vlan(f_, p_->def_vlan);
    pri_ = f_.tags > 0 ? f_.pcp[0] : 0;
    dei_ = f_.tags > 0 ? f_.dei[0] : 0;
    if (p_->kind != PortKind::Internal) {
        const VlanPorts *v = vlan_ports(sw_, vlan_);
        auto i = static_cast<size_t>(index_);
        if (v == nullptr || !v->member.test(i)) {
            ++c.cntVLANIngressBVPkts;
            NOTE("vlan: %d, port %d is not a member", vlan_, port_);
            drop(FmsimDrop::VlanIngress);
            return false;
        }
        if (v->stp[i] != FM_STP_STATE_FORWARDING) {
            ++c.cntSTPDropPkts;
            NOTE("vlan: %d, port %d is not forwarding (state %d)", vlan_, port_, v->stp[i]);
            drop(FmsimDrop::VlanIngress);
            return false;
        }
    }
    NOTE("vlan: %d, priority %d", vlan_, pri_);
    return true;
}

void Pass::mirror_copy(const MirrorView &m, const std::uint8_t *bytes, std::size_t n) {
    if (m.id >= 0 && m.id < 64) {
        if (mirrored_ & (1ull << m.id)) return;  // one copy per mirror
        mirrored_ |= 1ull << m.id;
    }
    int qi = port_index(*s_, m.port);
    if (qi < 0 || qi >= kMaxPortIndex || !port_up(*s_, s_->ports[static_cast<size_t>(qi)])) {
        NOTE("mirror %d: port %d is not up, no copy", m.id, m.port);
        return;
    }
    FmsimEmit e;
    e.port = m.port;
    e.kind = FmsimEmitKind::Mirror;
    e.source = m.id;
    e.bytes.assign(bytes, bytes + n);
    if (m.vlan >= 1 && m.vlan <= FM_MAX_VLAN && n >= 14) {
        FmsimParsedFrame g;
        parse_frame(bytes, n, &g);
        if (g.tags > 0) {
            e.bytes[14] = static_cast<std::uint8_t>((e.bytes[14] & 0xF0) | ((m.vlan >> 8) & 0x0F));
            e.bytes[15] = static_cast<std::uint8_t>(m.vlan & 0xFF);
        } else {
            const std::uint8_t tag[4] = {0x81, 0x00,
                                         static_cast<std::uint8_t>((m.vlan >> 8) & 0x0F),
                                         static_cast<std::uint8_t>(m.vlan & 0xFF)};
            e.bytes.insert(e.bytes.begin() + 12, tag, tag + 4);
        }
    }
    count_tx(qi, e.bytes);
    ++port_counters(sw_, qi)->cntTxMirrorPkts;
    NOTE("mirror %d: copy to port %d%s", m.id, m.port, m.vlan > 0 ? " on the mirror's VLAN" : "");
    out_->frames.push_back(std::move(e));
}

void Pass::mirrors_in() {
    mirror_views(sw_, &scratch_.mirrors);
    for (const MirrorView &m : scratch_.mirrors)
        if (m.type != FM_MIRROR_TYPE_EGRESS && m.monitored->count(port_))
            mirror_copy(m, bytes_, len_);
}

bool Pass::rules() {
    Key key = frame_key(f_, vlan_, static_cast<std::uint16_t>(p_->glort & 0xFFFF));
    FrameFacts facts{&f_, port_, &port_sets(sw_)};
    live_rules(sw_).lookup(key, facts, &scratch_.hits);
    constexpr fm_aclActionExt kDecides = FM_ACL_ACTIONEXT_PERMIT | FM_ACL_ACTIONEXT_DENY |
                                         FM_ACL_ACTIONEXT_REDIRECT | FM_ACL_ACTIONEXT_LOAD_BALANCE;
    bool vlan_set = false, pri_set = false, swpri_set = false, user_set = false;
    swpri_ = pri_;  // the priority as received, unless a rule sets one
    for (const Classifier::Hit &h : scratch_.hits) {
        if (h.rule == nullptr) {
            if (trace_) {
                trace_->hits.push_back({h.acl, -1});
                NOTE("acl %d: no rule holds", h.acl);
            }
            continue;
        }
        const fm_aclActionExt a = h.action;
        if (a & FM_ACL_ACTIONEXT_COUNT) ++*h.frames;
        if (trace_) {
            trace_->hits.push_back({h.acl, h.rule->rule});
            NOTE("acl %d: rule %d hits, action 0x%llx", h.acl, h.rule->rule,
                 static_cast<unsigned long long>(a));
        }
        if (deciding_ == nullptr && (a & kDecides)) deciding_ = h.rule;
        constexpr fm_aclActionExt kUsesParams =
            FM_ACL_ACTIONEXT_SET_VLAN | FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY |
            FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY | FM_ACL_ACTIONEXT_SET_USER |
            FM_ACL_ACTIONEXT_MIRROR_GRP;
        if (!(a & kUsesParams)) continue;
        const LiveRule *r = h.rule;
        // Each rewrite comes from the lowest ACL whose hit has it.
        if (!vlan_set && (a & FM_ACL_ACTIONEXT_SET_VLAN)) {
            vlan_set = true;
            vlan_ = r->param.vlan & 0xFFF;
        }
        if (!pri_set && (a & FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY)) {
            pri_set = true;
            pri_ = r->param.vlanPriority & 0x7;
        }
        if (!swpri_set && (a & FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY)) {
            swpri_set = true;
            swpri_ = r->param.switchPriority & 0xF;
        }
        if (!user_set && (a & FM_ACL_ACTIONEXT_SET_USER)) {
            user_set = true;
            user_ = r->param.user & r->param.userMask;
        }
        if (a & FM_ACL_ACTIONEXT_MIRROR_GRP) {
            MirrorView m;
            if (mirror_view(sw_, r->param.mirrorGrp, &m) && m.acl)
                mirror_copy(m, bytes_, len_);
            else
                NOTE("acl %d rule %d: mirror %d does not take rule copies", h.acl, r->rule,
                     r->param.mirrorGrp);
        }
    }
    rx_->cntRxPriorityPkts[swpri_] += 1;
    rx_->cntRxPriorityOctets[swpri_] += len_;
    if (trace_) {
        trace_->vlan = vlan_;
        trace_->priority = pri_;
        trace_->switch_priority = swpri_;
        if (deciding_) trace_->deciding = {deciding_->acl, deciding_->rule};
    }
    if (deciding_ && (deciding_->action & FM_ACL_ACTIONEXT_DENY)) {
        ++rx_->cntFFUDropPkts;
        NOTE("decision: acl %d rule %d drops the frame", deciding_->acl, deciding_->rule);
        drop(FmsimDrop::RuleDrop);
        return false;
    }
    return true;
}

void Pass::rewrite(int vlan, bool tagged, std::vector<std::uint8_t> *bytes) const {
    std::size_t rest = 12 + (f_.tags > 0 ? 4 : 0);
    bytes->clear();
    bytes->reserve(len_ + 4);
    bytes->insert(bytes->end(), bytes_, bytes_ + 12);
    if (tagged) {
        std::uint16_t tpid = f_.tags > 0 ? f_.tpid[0] : kTpidStandard;
        auto tci = static_cast<std::uint16_t>((pri_ << 13) | (dei_ << 12) | (vlan & 0xFFF));
        const std::uint8_t tag[4] = {
            static_cast<std::uint8_t>(tpid >> 8), static_cast<std::uint8_t>(tpid & 0xFF),
            static_cast<std::uint8_t>(tci >> 8), static_cast<std::uint8_t>(tci & 0xFF)};
        bytes->insert(bytes->end(), tag, tag + 4);
    }
    bytes->insert(bytes->end(), bytes_ + rest, bytes_ + len_);
}

void Pass::count_tx(int index, const std::vector<std::uint8_t> &bytes) {
    fm_portCounters &c = *port_counters(sw_, index);
    std::uint64_t dmac = 0;
    for (int i = 0; i < 6; ++i) dmac = (dmac << 8) | bytes[static_cast<size_t>(i)];
    if (dmac == kBroadcast)
        ++c.cntTxBcstPkts;
    else if (dmac & kGroupBit)
        ++c.cntTxMcstPkts;
    else
        ++c.cntTxUcstPkts;
    c.cntTxOctets += bytes.size();
    ++*tx_size_bucket(c, bytes.size());
}

bool Pass::egress(fm_int q, int vlan, FmsimEmitKind kind, int source) {
    int qi = port_index(*s_, q);
    if (qi < 0 || qi >= kMaxPortIndex) {
        NOTE("egress %d: no such port", q);
        return false;
    }
    const Port &qp = s_->ports[static_cast<size_t>(qi)];
    if (!port_up(*s_, qp)) {
        if (qp.mode == FM_PORT_STATE_BIST)
            NOTE("egress %d: in a PRBS test mode, sends nothing", q);
        else
            NOTE("egress %d: not up", q);
        return false;
    }
    bool tagged = true;  // internal ports carry the VLAN in a tag
    if (qp.kind != PortKind::Internal) {
        const VlanPorts *v = vlan_ports(sw_, vlan);
        auto i = static_cast<size_t>(qi);
        if (v == nullptr || !v->member.test(i) || v->stp[i] != FM_STP_STATE_FORWARDING) {
            ++rx_->cntVLANEgressBVPkts;
            NOTE("egress %d: not a forwarding member of VLAN %d", q, vlan);
            return false;
        }
        tagged = v->tagged.test(i);
    }
    FmsimEmit e;
    e.port = q;
    e.kind = kind;
    e.source = source;
    rewrite(vlan, tagged, &e.bytes);
    count_tx(qi, e.bytes);
    left_ = true;
    if (qp.loopback != 0) {
        ++port_counters(sw_, qi)->cntTxLoopbackPkts;
        if (depth_ > 0) {
            NOTE("egress %d: loopback, a returned frame is not returned again", q);
            return true;
        }
        NOTE("egress %d: loopback, the frame returns to its ingress", q);
        ++out_->looped;
        FmsimDrop keep = out_->drop;
        Pass(sw_, q, e.bytes.data(), e.bytes.size(), out_, nullptr, depth_ + 1).run();
        out_->drop = keep;
        return true;
    }
    NOTE("egress %d: leaves as %s, VLAN %d %s", q, control::name(kind), vlan,
         tagged ? "tagged" : "untagged");
    const std::vector<std::uint8_t> *sent = nullptr;
    out_->frames.push_back(std::move(e));
    sent = &out_->frames.back().bytes;
    for (const MirrorView &m : scratch_.mirrors)
        if ((m.type == FM_MIRROR_TYPE_EGRESS || m.type == FM_MIRROR_TYPE_BIDIRECTIONAL) &&
            m.monitored->count(q)) {
            std::vector<std::uint8_t> copy = *sent;  // frames may grow while copying
            mirror_copy(m, copy.data(), copy.size());
            sent = &out_->frames.back().bytes;
        }
    return true;
}

void Pass::l2() {
    auto &table = learned()[static_cast<size_t>(sw_)];
    if (!(f_.smac & kGroupBit) && f_.smac != 0) {
        std::uint64_t k = learn_key(vlan_, f_.smac);
        const int was = table.find(k);
        if (was >= 0) {
            if (was != port_) {
                table.set(k, port_);
                if (trace_) trace_->learned = true;
                NOTE("learn: %012llx on VLAN %d moves to port %d",
                     static_cast<unsigned long long>(f_.smac), vlan_, port_);
            }
        } else if (table.set(k, port_)) {
            if (trace_) trace_->learned = true;
            NOTE("learn: %012llx on VLAN %d at port %d", static_cast<unsigned long long>(f_.smac),
                 vlan_, port_);
        } else {
            NOTE("learn: the table is full");
        }
    }
    auto in_mask = [&](fm_int q) {
        return q >= 0 && q < kMaskBits && p_->mask.test(static_cast<size_t>(q));
    };
    if (!(f_.dmac & kGroupBit)) {
        const fm_int q = table.find(learn_key(vlan_, f_.dmac));
        if (q >= 0) {
            if (q == port_) {
                NOTE("l2: %012llx is on the ingress port itself",
                     static_cast<unsigned long long>(f_.dmac));
                drop(FmsimDrop::NoDestination);
                return;
            }
            if (!in_mask(q)) {
                NOTE("l2: port %d is outside port %d's mask", q, port_);
                drop(FmsimDrop::NoDestination);
                return;
            }
            if (egress(q, vlan_, FmsimEmitKind::Unicast, -1)) ++rx_->cntFIDForwardedPkts;
            return;
        }
    }
    const VlanPorts *v = vlan_ports(sw_, vlan_);
    if (v == nullptr) {
        NOTE("l2: VLAN %d does not exist, nothing to flood to", vlan_);
        return;
    }
    bool any = false;
    for (std::size_t i = 0; i < s_->ports.size() && i < static_cast<size_t>(kMaxPortIndex); ++i) {
        fm_int q = s_->ports[i].logical;
        if (q == port_ || !v->member.test(i)) continue;
        if (!in_mask(q)) {
            NOTE("l2: flood skips port %d, outside port %d's mask", q, port_);
            continue;
        }
        any |= egress(q, vlan_, FmsimEmitKind::Flood, -1);
    }
    if (any) ++rx_->cntFloodForwardedPkts;
}

void Pass::forward() {
    const fm_aclActionExt a = deciding_ ? deciding_->action : 0;
    if (a & FM_ACL_ACTIONEXT_REDIRECT) {
        fm_int q = deciding_->param.logicalPort;
        fm_int group = -1;
        bool active = false;
        if (mcast_listeners(sw_, q, &group, &active, &scratch_.listeners)) {
            if (!active) {
                NOTE("redirect: multicast group %d is not active", group);
                drop(FmsimDrop::BadTarget);
                return;
            }
            NOTE("redirect: multicast group %d, %zu listener(s)", group, scratch_.listeners.size());
            for (auto [vlan, port] : scratch_.listeners)
                egress(port, vlan, FmsimEmitKind::Multicast, group);
            return;
        }
        if (port_index(*s_, q) < 0) {
            ++rx_->cntGlortMissDropPkts;
            NOTE("redirect: port %d does not exist", q);
            drop(FmsimDrop::BadTarget);
            return;
        }
        NOTE("redirect: to port %d", q);
        egress(q, vlan_, FmsimEmitKind::Redirect, -1);
        return;
    }
    if (a & FM_ACL_ACTIONEXT_LOAD_BALANCE) {
        fm_int n = deciding_->param.lbgNumber;
        LbgView g;
        if (!lbg_view(sw_, n, &g) || !g.active || !g.mapped || g.bins->empty()) {
            ++rx_->cntGlortMissDropPkts;
            NOTE("lbg: group %d does not exist, is not active or has no bins", n);
            drop(FmsimDrop::BadTarget);
            return;
        }
        std::uint32_t h = frame_hash(sw_, f_, user_);
        auto bin = static_cast<int>(h % g.bins->size());
        fm_int q = (*g.bins)[static_cast<size_t>(bin)];
        if (trace_) {
            trace_->lbg = n;
            trace_->hash = h;
            trace_->bin = bin;
        }
        NOTE("lbg: group %d, hash 0x%08x, bin %d, port %d", n, h, bin, q);
        if (q == FM_LBG_NO_PORT) {
            drop(FmsimDrop::LbgNoPort);
            return;
        }
        egress(q, vlan_, FmsimEmitKind::LoadBalance, n);
        return;
    }
    l2();
}

void Pass::run() {
    if (!ingress()) return;
    mirrors_in();
    if (!rules()) return;
    forward();
    if (!left_ && out_->drop == FmsimDrop::None) {
        NOTE("decision: no port takes the frame");
        drop(FmsimDrop::NoDestination);
    }
}

}  // namespace
}  // namespace fmsim

const char *fmsim_drop_name(FmsimDrop drop) {
    return fmsim::control::name(drop);
}

FmsimOutcome fmsim_inject(int sw, int port, const std::uint8_t *bytes, std::size_t length,
                          FmsimTrace *trace) {
    FmsimOutcome out;
    {
        std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
        if (trace) {
            bool no_lines = trace->no_lines;
            *trace = FmsimTrace{};
            trace->no_lines = no_lines;
        }
        if (bytes == nullptr) length = 0;
        fmsim::Pass(sw, port, bytes, length, &out, trace, 0).run();
    }
    fmsim::deliver_egress(sw, out);
    return out;
}

bool fmsim_classify(int sw, int port, const std::uint8_t *bytes, std::size_t length,
                    FmsimParsedFrame *parsed, int *vlan, std::vector<FmsimAclHit> *hits) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Switch *s = fmsim::find_switch(sw);
    fmsim::Port *p = fmsim::find_port(sw, port);
    if (s == nullptr || p == nullptr || bytes == nullptr) return false;
    FmsimParsedFrame f;
    fmsim::parse_frame(bytes, length, &f);
    if (f.error != FmsimParseError::None) return false;
    const int v = fmsim::ingress_vlan(f, p->def_vlan);
    fmsim::Key key = fmsim::frame_key(f, v, static_cast<std::uint16_t>(p->glort & 0xFFFF));
    fmsim::FrameFacts facts{&f, port, &fmsim::port_sets(sw)};
    std::vector<fmsim::Classifier::Hit> found;
    fmsim::live_rules(sw).lookup(key, facts, &found);
    if (parsed) *parsed = f;
    if (vlan) *vlan = v;
    if (hits) {
        hits->clear();
        for (const auto &h : found) hits->push_back({h.acl, h.rule ? h.rule->rule : -1});
    }
    return true;
}

int fmsim_learned_port(int sw, int vlan, std::uint64_t mac) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (sw < 0 || sw >= FM_MAX_NUM_SWITCHES) return -1;
    return fmsim::learned()[static_cast<size_t>(sw)].find(fmsim::learn_key(vlan, mac));
}

void fmsim_flush_learned(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (sw >= 0 && sw < FM_MAX_NUM_SWITCHES) fmsim::learned()[static_cast<size_t>(sw)].clear();
}
