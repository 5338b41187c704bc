// A rule on the wire: the request record that adds it (command 54 and
// the older per-action codes), the query of one rule, and the rule read
// back from the query's reply.
#include <cstring>

#include "ranges.h"
#include "rule.h"

namespace kelfctl {
namespace {

// Action bits of command 54, one per thing a rule does.
constexpr int kActPermit = KEL_ACT_PERMIT;
constexpr int kActDrop = KEL_ACT_DROP;
constexpr int kActMirror = KEL_ACT_MIRROR;
constexpr int kActSetVlan = KEL_ACT_SET_VLAN;
constexpr int kActSetVlanPri = KEL_ACT_SET_VLAN_PRI;
constexpr int kActSetSwitchPri = KEL_ACT_SET_SWITCH_PRI;
constexpr int kActSetUserBits = KEL_ACT_SET_USER;
constexpr int kActLbg = KEL_ACT_LBG;
constexpr int kActRedirect = KEL_ACT_REDIRECT;

IpPrefix v4_prefix(std::uint32_t a, std::uint32_t m) {
    a &= m;  // a zero network travels with a stand-in bit past its mask
    IpPrefix p;
    p.v4 = a;
    p.v4mask = m;
    for (int i = 0; i < 4; ++i) {
        p.addr[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (24 - 8 * i));
        p.mask[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(m >> (24 - 8 * i));
    }
    return p;
}

IpPrefix v6_prefix(const std::uint8_t *a, const std::uint8_t *m) {
    IpPrefix p;
    p.v6 = true;
    std::memcpy(p.addr.data(), a, 16);
    std::memcpy(p.mask.data(), m, 16);
    for (std::size_t i = 0; i < 16; ++i) p.addr[i] &= p.mask[i];
    return p;
}

// The address fields of one side; kel_mem is packed, so no references
// into it.
void put_ip(const IpPrefix &p, kel_mem_t &m, bool src) {
    if (p.v6) {
        kel_ip6_t a{}, mask{};
        a.flag = 1;
        std::memcpy(a.ip, p.addr.data(), 16);
        mask.flag = 1;
        std::memcpy(mask.ip, p.mask.data(), 16);
        (src ? m.src_ip6 : m.dst_ip6) = a;
        (src ? m.src_ip6_mask : m.dst_ip6_mask) = mask;
    } else {
        // kelfd takes address 0 as no condition: a zero network goes with a
        // bit past its mask set, which the switch does not compare.
        std::uint32_t a = p.v4 != 0 ? p.v4 : zero_stand_in(p.v4mask, 0xFFFFFFFFu);
        if (src)
            m.src_ip = a, m.src_ip_mask = p.v4mask;
        else
            m.dst_ip = a, m.dst_ip_mask = p.v4mask;
    }
}

}  // namespace

bool any_byte(const std::uint8_t *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return true;
    return false;
}

if_kel_t rule_request(const RuleDef &r, int unit, int *code) {
    if_kel_t k;
    std::memset(&k, 0, sizeof k);
    k.unit = unit;
    kel_mem_t &m = k.kel_mem;
    m.group = r.group;
    m.rule_id = static_cast<std::int32_t>(r.id);

    int act = 0;
    switch (r.action) {
        case RuleDef::Action::Drop:
            act = kActDrop;
            break;
        case RuleDef::Action::Permit:
            act = kActPermit;
            break;
        case RuleDef::Action::Redirect:
            act = kActRedirect;
            m.redir_port = r.target;
            break;
        case RuleDef::Action::Lbg:
            act = kActLbg;
            m.redir_port = r.target;
            break;
        case RuleDef::Action::Mirror:
            act = kActMirror;
            m.mirror_port = r.target;
            break;
        case RuleDef::Action::Rewrite:
        case RuleDef::Action::Unreported:
            break;
    }
    if (r.set_vlan) act |= kActSetVlan, m.vlan_act = *r.set_vlan;
    if (r.set_vlan_priority) act |= kActSetVlanPri, m.vlan_pri_act = *r.set_vlan_priority;
    if (r.set_switch_priority) act |= kActSetSwitchPri, m.user_act = *r.set_switch_priority;
    if (r.set_user_bits) act |= kActSetUserBits, m.user_act = *r.set_user_bits;
    // The plain actions have commands of their own; everything else goes
    // through the combined command with its action bits.
    switch (act) {
        case kActDrop:
            *code = KEL_SET_DROP;
            break;
        case kActPermit:
            *code = KEL_SET_PERMIT;
            break;
        case kActRedirect:
            *code = KEL_SET_DIR;
            break;
        case kActMirror:
            *code = KEL_SET_MIR;
            break;
        default:
            *code = KEL_SET_RULE;
            k.action = act;
            break;
    }
    k.kel_cmd = *code;

    m.port = r.in_port;
    if (r.src_mac) m.src_mac.flag = 1, std::memcpy(m.src_mac.mac, r.src_mac->data(), 6);
    if (r.dst_mac) m.dst_mac.flag = 1, std::memcpy(m.dst_mac.mac, r.dst_mac->data(), 6);
    if (r.ethertype) m.ether_type = *r.ethertype;
    if (r.vlan) m.vlan = *r.vlan;
    if (r.vlan_tag) m.vlan_tag = *r.vlan_tag + 1;
    if (r.src_ip) put_ip(*r.src_ip, m, true);
    if (r.dst_ip) put_ip(*r.dst_ip, m, false);
    if (r.protocol) m.ip_protocol = *r.protocol;
    // Port 0 under a mask travels as a stand-in value past the mask, as a
    // zero address does.
    auto l4 = [](const std::optional<int> &p, const std::optional<int> &mask, std::int32_t &port,
                 std::int32_t &port_mask) {
        if (!p) return;
        int mk = mask.value_or(0);
        int v = *p;
        if (mk != 0 && (v & mk) == 0)
            v = static_cast<int>(zero_stand_in(static_cast<std::uint32_t>(mk), 0xFFFF));
        port = v;
        port_mask = mk;
    };
    std::int32_t sp = 0, spm = 0, dp = 0, dpm = 0;
    l4(r.sport, r.sport_mask, sp, spm);
    l4(r.dport, r.dport_mask, dp, dpm);
    m.src_port = sp, m.src_port_mask = spm;
    m.dst_port = dp, m.dst_port_mask = dpm;
    if (r.mpls) m.mpls_type = *r.mpls;
    if (r.mpls_header) m.mpls_header = *r.mpls_header, m.mpls_header_mask = *r.mpls_header_mask;
    return k;
}

if_kel_t rule_query(int unit, int group, std::int64_t id) {
    if_kel_t k;
    std::memset(&k, 0, sizeof k);
    k.kel_cmd = KEL_ENTRY_QUERY;
    k.unit = unit;
    k.kel_mem.group = group;
    k.kel_mem.rule_id = static_cast<std::int32_t>(id);
    k.kel_mem.port = kAbsent;
    k.kel_mem.rule_act = kAbsent;
    return k;
}

// The match fields of a rule record.
static void read_match(const kel_mem_t &m, RuleDef &r) {
    r.in_port = m.port;
    Mac mac;
    std::memcpy(mac.data(), m.src_mac.mac, 6);
    if (m.src_mac.flag != 0 || any_byte(mac.data(), 6)) r.src_mac = mac;
    std::memcpy(mac.data(), m.dst_mac.mac, 6);
    if (m.dst_mac.flag != 0 || any_byte(mac.data(), 6)) r.dst_mac = mac;
    if (m.mpls_type == 1 || m.mpls_type == 2)
        r.mpls = int{m.mpls_type};
    else if (m.ether_type != 0)
        r.ethertype = m.ether_type & 0xFFFF;
    if (m.vlan != 0) r.vlan = m.vlan & 0xFFF;
    if (m.src_ip6.flag != 0 || any_byte(m.src_ip6.ip, 16))
        r.src_ip = v6_prefix(m.src_ip6.ip, m.src_ip6_mask.ip);
    else if (m.src_ip != 0)
        r.src_ip = v4_prefix(m.src_ip, m.src_ip_mask);
    if (m.dst_ip6.flag != 0 || any_byte(m.dst_ip6.ip, 16))
        r.dst_ip = v6_prefix(m.dst_ip6.ip, m.dst_ip6_mask.ip);
    else if (m.dst_ip != 0)
        r.dst_ip = v4_prefix(m.dst_ip, m.dst_ip_mask);
    if (m.ip_protocol != 0) r.protocol = m.ip_protocol & 0xFF;
    if (m.src_port != 0) {
        r.sport = m.src_port & 0xFFFF;
        if (m.src_port_mask != 0)
            r.sport_mask = m.src_port_mask & 0xFFFF, *r.sport &= *r.sport_mask;
    }
    if (m.dst_port != 0) {
        r.dport = m.dst_port & 0xFFFF;
        if (m.dst_port_mask != 0)
            r.dport_mask = m.dst_port_mask & 0xFFFF, *r.dport &= *r.dport_mask;
    }
    if (r.mpls && m.mpls_header != 0) {
        r.mpls_header = std::uint64_t{m.mpls_header};
        r.mpls_header_mask = std::uint64_t{m.mpls_header_mask};
    }
}

std::optional<RuleDef> rule_from_query(const kel_query_rule_t &q, int group, std::int64_t id) {
    const kel_mem_t &m = q.kel_mem;
    if (m.port == kAbsent) return std::nullopt;
    RuleDef r;
    r.group = group;
    r.id = id;
    switch (m.rule_act) {
        case kActDrop:
            r.action = RuleDef::Action::Drop;
            break;
        case kActPermit:
            r.action = RuleDef::Action::Permit;
            break;
        case kActRedirect:
            r.action = RuleDef::Action::Redirect, r.target = m.redir_port;
            break;
        case kActLbg:
            r.action = RuleDef::Action::Lbg, r.target = m.redir_port;
            break;
        case kActSetSwitchPri:
            r.action = RuleDef::Action::Rewrite;
            break;
        case kActMirror:
            r.action = RuleDef::Action::Mirror, r.target = m.mirror_port;
            break;
        default:
            r.action = RuleDef::Action::Unreported;
            break;
    }
    // The stored switch priority comes back whatever else the rule does.
    if (r.action == RuleDef::Action::Rewrite || m.user_act != 0)
        r.set_switch_priority = int{m.user_act};

    read_match(m, r);
    return r;
}

}  // namespace kelfctl

namespace kelfctl {

RuleDef rule_from_read_back(const kel_x_rule_t &x) {
    const kel_mem_t &m = x.mem;
    RuleDef r;
    r.group = x.group;
    r.id = x.rule_id;
    const std::int32_t a = m.rule_act;
    if (a & kActDrop)
        r.action = RuleDef::Action::Drop;
    else if (a & kActRedirect)
        r.action = RuleDef::Action::Redirect, r.target = m.redir_port;
    else if (a & kActLbg)
        r.action = RuleDef::Action::Lbg, r.target = m.redir_port;
    else if (a & kActMirror)
        r.action = RuleDef::Action::Mirror, r.target = m.mirror_port;
    else if (a & kActPermit)
        r.action = RuleDef::Action::Permit;
    else
        r.action = RuleDef::Action::Rewrite;
    if (a & kActSetVlan) r.set_vlan = int{m.vlan_act};
    if (a & kActSetVlanPri) r.set_vlan_priority = int{m.vlan_pri_act};
    if (a & kActSetSwitchPri) r.set_switch_priority = int{m.user_act};
    if (a & kActSetUserBits) r.set_user_bits = int{m.user_act};
    read_match(m, r);
    if (m.vlan_tag != 0) r.vlan_tag = m.vlan_tag - 1;
    r.comment = std::string(x.label, strnlen(x.label, sizeof x.label));
    return r;
}

}  // namespace kelfctl
