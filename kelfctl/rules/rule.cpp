#include "rule.h"

#include <cstring>
#include <tuple>

#include "ranges.h"

namespace kelfctl {
namespace {

// VLAN tag types, counted from 1 on the wire (0 is no condition).
constexpr const char *kVlanTags[] = {"untagged",    "tagged",        "user-a",     "user-b",
                                     "vlan1",       "vlan2",         "only-vlan1", "only-vlan2",
                                     "vlan1-vlan2", "vlan2-untagged"};
constexpr int kVlanTagCount = static_cast<int>(sizeof kVlanTags / sizeof kVlanTags[0]);
static_assert(kVlanTagCount == kVlanTagTypes);

// A tag type kelfctl does not know (another client's) shows as its number.
std::string tag_name(int t) {
    if (t >= 0 && t < kVlanTagCount) return kVlanTags[t];
    return "type-" + std::to_string(t + 1);
}

const char *action_name(RuleDef::Action a) {
    switch (a) {
        case RuleDef::Action::Drop:
            return "drop";
        case RuleDef::Action::Permit:
            return "permit";
        case RuleDef::Action::Redirect:
            return "redirect";
        case RuleDef::Action::Lbg:
            return "lbg";
        case RuleDef::Action::Mirror:
            return "mirror";
        case RuleDef::Action::Rewrite:
            return "rewrite";
        case RuleDef::Action::Unreported:
            return "unreported";
    }
    return "?";
}

template <class T>
void once(std::optional<T> &slot, std::string_view kw, T v) {
    if (slot) usage(std::string(kw) + " given twice");
    slot = v;
}

// PORT, PORT/MASK or LO-HI.
struct L4 {
    int port;
    std::optional<int> mask, hi;
};

L4 l4_port(Args &a, const std::string &kw) {
    std::string s = a.next(kw + " PORT[/MASK] or LO-HI");
    std::size_t slash = s.find('/');
    std::size_t dash = s.find('-');
    const std::string any = kw + ": '" + s + "' matches any port; leave " + kw + " out";
    const std::string zero = kw + ": port 0 cannot be matched alone: kelfd takes port 0 as no " +
                             kw + " condition (0-1 or 0/0xfffe name it with port 1)";
    if (dash != std::string::npos && slash == std::string::npos) {
        int lo =
            static_cast<int>(value([&] { return parse_int(s.substr(0, dash), kw, 0, 65535); }));
        int hi =
            static_cast<int>(value([&] { return parse_int(s.substr(dash + 1), kw, 0, 65535); }));
        if (lo > hi) usage(kw + ": '" + s + "' is not a range LO-HI with LO at most HI");
        if (lo == 0 && hi == 65535) usage(any);
        if (hi == 0) usage(zero);
        if (lo == hi) return {lo, std::nullopt, std::nullopt};
        return {lo, std::nullopt, hi};
    }
    int p = static_cast<int>(value([&] { return parse_int(s.substr(0, slash), kw, 0, 65535); }));
    if (slash == std::string::npos) {
        if (p == 0) usage(zero);
        return {p, std::nullopt, std::nullopt};
    }
    int m = static_cast<int>(value([&] { return parse_int(s.substr(slash + 1), kw, 1, 0xFFFF); }));
    // The switch compares the masked value only.
    p &= m;
    if (p == 0 && m == 0xFFFF) usage(zero);
    return {p, m, std::nullopt};
}

const std::vector<Choice> &rule_keywords() {
    static const std::vector<Choice> k = {
        {"group"},
        {"id"},
        {"drop"},
        {"permit"},
        {"redirect"},
        {"lbg"},
        {"mirror"},
        {"rewrite"},
        {"set-vlan"},
        {"set-vlan-priority"},
        {"set-switch-priority"},
        {"set-user-bits"},
        {"in-port"},
        {"src-mac"},
        {"dst-mac"},
        {"ethertype"},
        {"vlan"},
        {"vlan-tag"},
        {"src-ip"},
        {"dst-ip"},
        {"protocol"},
        {"sport"},
        {"dport"},
        {"mpls"},
        {"mpls-header"},
        {"comment"},
    };
    return k;
}

// An address as the switch compares it: bits past the mask cleared (with
// a warning), and the two prefixes that cannot be sent refused.
IpPrefix rule_ip(const std::string &kw, const std::string &text,
                 std::vector<std::string> *warnings) {
    IpPrefix p = value([&] { return parse_ip_prefix(text, kw); });
    IpPrefix m = p;
    bool host_bits = false;
    for (std::size_t i = 0; i < 16; ++i) {
        m.addr[i] &= m.mask[i];
        host_bits = host_bits || m.addr[i] != p.addr[i];
    }
    if (!p.v6) {
        m.v4 = p.v4 & p.v4mask;
        host_bits = m.v4 != p.v4;
    }
    bool zero_mask = p.v6 ? !any_byte(p.mask.data(), 16) : p.v4mask == 0;
    if (zero_mask) usage(kw + ": '" + text + "' matches any address; leave " + kw + " out");
    if (host_bits && warnings != nullptr)
        warnings->push_back(kw + " " + text + " has bits set past its mask; the switch compares " +
                            format_ip_prefix(m) + ", which kelfctl uses");
    if (!m.v6 && m.v4 == 0 && m.v4mask == 0xFFFFFFFFu)
        usage(kw + ": 0.0.0.0/32 cannot be matched: kelfd takes IPv4 address 0 as no " + kw +
              " condition, and with all 32 bits compared no other value stands for it");
    return m;
}

}  // namespace

RuleDef parse_rule(Args &a, std::vector<std::string> *warnings) {
    RuleDef r;
    bool have_action = false;
    auto action = [&](RuleDef::Action act) {
        if (have_action) usage("a rule takes one of drop, permit, redirect, lbg, mirror, rewrite");
        have_action = true;
        r.action = act;
    };
    bool have_group = false, have_id = false;
    while (!a.done()) {
        std::string kw(a.keyword(rule_keywords(), "rule keyword"));
        if (kw == "group") {
            if (have_group) usage("group given twice");
            have_group = true;
            r.group = static_cast<int>(a.number("group", 0, KEL_MAX_GROUPS - 1));
        } else if (kw == "id") {
            if (have_id) usage("id given twice");
            have_id = true;
            r.id = a.number("id", 1, 0xFFFFFF);
        } else if (kw == "drop") {
            action(RuleDef::Action::Drop);
        } else if (kw == "permit") {
            action(RuleDef::Action::Permit);
        } else if (kw == "redirect") {
            action(RuleDef::Action::Redirect);
            if (a.accept("mcast"))
                r.mcast = a.next("redirect mcast NAME");
            else
                r.target = a.port("redirect PORT", 0, 65535);
        } else if (kw == "lbg") {
            action(RuleDef::Action::Lbg);
            std::string_view w = a.peek();
            if (!w.empty() && !(w[0] >= '0' && w[0] <= '9'))
                r.lbg = a.next("lbg GROUP");
            else
                r.target = static_cast<int>(a.number("lbg GROUP", 0, INT32_MAX));
        } else if (kw == "mirror") {
            action(RuleDef::Action::Mirror);
            r.target = static_cast<int>(a.number("mirror MIRROR", 0, 255));
        } else if (kw == "rewrite") {
            action(RuleDef::Action::Rewrite);
        } else if (kw == "comment") {
            if (!r.comment.empty()) usage("comment given twice");
            r.comment = a.next("comment TEXT");
            if (r.comment.empty() || r.comment.size() >= KEL_X_LABEL_MAX)
                usage("comment: a comment holds 1 to " + std::to_string(KEL_X_LABEL_MAX - 1) +
                      " bytes");
            for (unsigned char c : r.comment)
                if (c < 0x20 || c == 0x7F) usage("comment: a comment holds no control characters");
            if (r.comment.find('"') != std::string::npos &&
                r.comment.find('\'') != std::string::npos)
                usage("comment: a comment holds ' or \", not both");
        } else if (kw == "set-vlan") {
            once(r.set_vlan, kw, static_cast<int>(a.number("set-vlan VLAN", 0, 4095)));
        } else if (kw == "set-vlan-priority") {
            // 4 bits read, 3 taken: check_new_rule refuses 8 to 15.
            once(r.set_vlan_priority, kw, static_cast<int>(a.number("set-vlan-priority", 0, 15)));
        } else if (kw == "set-switch-priority") {
            once(r.set_switch_priority, kw,
                 static_cast<int>(a.number("set-switch-priority", 0, 15)));
        } else if (kw == "set-user-bits") {
            once(r.set_user_bits, kw, static_cast<int>(a.number("set-user-bits", 0, 15)));
        } else if (kw == "in-port") {
            if (r.in_port != 0) usage("in-port given twice");
            r.in_port = a.port("in-port PORT", 1, 65535);
        } else if (kw == "src-mac" || kw == "dst-mac") {
            std::string s = a.next(kw + " MAC");
            once(kw == "src-mac" ? r.src_mac : r.dst_mac, kw,
                 value([&] { return parse_mac(s, kw); }));
        } else if (kw == "ethertype") {
            std::string s = a.next("ethertype TYPE");
            int t = value([&] { return parse_ethertype(s, kw); });
            if (t == 0) usage("ethertype: 0 matches nothing; leave ethertype out to match any");
            once(r.ethertype, kw, t);
        } else if (kw == "vlan") {
            once(r.vlan, kw, static_cast<int>(a.number("vlan VLAN", 1, 4095)));
        } else if (kw == "vlan-tag") {
            std::string s = a.next("vlan-tag TYPE");
            int t = -1;
            for (int i = 0; i < kVlanTagCount; ++i)
                if (s == kVlanTags[i]) t = i;
            if (t < 0)
                usage("vlan-tag: '" + s +
                      "' is not a tag type (untagged, tagged, user-a, user-b, vlan1, vlan2, "
                      "only-vlan1, only-vlan2, vlan1-vlan2, vlan2-untagged)");
            once(r.vlan_tag, kw, t);
        } else if (kw == "src-ip" || kw == "dst-ip") {
            std::string s = a.next(kw + " ADDRESS[/PREFIX]");
            once(kw == "src-ip" ? r.src_ip : r.dst_ip, kw, rule_ip(kw, s, warnings));
        } else if (kw == "protocol") {
            std::string s = a.next("protocol PROTO");
            int p = value([&] { return parse_protocol(s, kw); });
            if (p == 0) usage("protocol: 0 matches any protocol; leave protocol out");
            once(r.protocol, kw, p);
        } else if (kw == "sport" || kw == "dport") {
            L4 l = l4_port(a, kw);
            bool src = kw == "sport";
            once(src ? r.sport : r.dport, kw, l.port);
            (src ? r.sport_mask : r.dport_mask) = l.mask;
            (src ? r.sport_hi : r.dport_hi) = l.hi;
        } else if (kw == "mpls") {
            std::string s = a.next("mpls unicast|multicast");
            if (s != "unicast" && s != "multicast")
                usage("mpls: '" + s + "' is not unicast or multicast");
            once(r.mpls, kw, s == "unicast" ? 1 : 2);
        } else if (kw == "mpls-header") {
            std::string s = a.next("mpls-header VALUE[/MASK]");
            std::size_t slash = s.find('/');
            std::uint64_t v = value([&] { return parse_u64(s.substr(0, slash), kw); });
            std::uint64_t m = slash == std::string::npos
                                  ? ~std::uint64_t{0}
                                  : value([&] { return parse_u64(s.substr(slash + 1), kw); });
            if (v == 0) usage("mpls-header: 0 matches any header; leave mpls-header out");
            once(r.mpls_header, kw, v);
            r.mpls_header_mask = m;
        }
    }
    if (!have_action)
        usage("a rule needs an action: drop, permit, redirect, lbg, mirror or rewrite");
    bool sets = r.set_vlan || r.set_vlan_priority || r.set_switch_priority || r.set_user_bits;
    if (r.action == RuleDef::Action::Rewrite && !sets)
        usage("rewrite needs set-vlan, set-vlan-priority, set-switch-priority or set-user-bits");
    if (r.action == RuleDef::Action::Mirror && sets)
        usage("a mirror rule takes no set-* action: mirroring replaces every other action");
    if (r.set_user_bits && (r.action != RuleDef::Action::Rewrite || r.set_vlan ||
                            r.set_vlan_priority || r.set_switch_priority))
        usage("set-user-bits replaces every other action: use it alone with rewrite");
    if (r.mpls_header && !r.mpls) usage("mpls-header needs mpls unicast or mpls multicast");
    if (r.mpls && r.ethertype) usage("mpls sets the EtherType: leave ethertype out");
    // The MPLS EtherTypes are mpls, as the switch holds them.
    if (r.ethertype == 0x8847 || r.ethertype == 0x8848) {
        r.mpls = *r.ethertype == 0x8847 ? 1 : 2;
        r.ethertype.reset();
    }
    return r;
}

const char kMirrorInPort[] =
    "a mirror rule matches frames of every port, whatever its in-port: "
    "`mirror add MIRROR ports PORTS` chooses the ports a mirror copies from";

void check_new_rule(const RuleDef &r) {
    if (r.action == RuleDef::Action::Mirror && r.in_port != 0)
        usage("in-port: " + std::string(kMirrorInPort) + "; leave in-port out");
    if (r.set_vlan_priority && *r.set_vlan_priority > kVlanPriorityMax)
        usage("set-vlan-priority: '" + std::to_string(*r.set_vlan_priority) +
              "' is not a number from 0 to " + std::to_string(kVlanPriorityMax) +
              " (a VLAN priority has 3 bits)");
}

std::string rule_action_text(const RuleDef &r) {
    std::string s = r.action == RuleDef::Action::Unreported ? "" : action_name(r.action);
    if (r.action == RuleDef::Action::Redirect && !r.mcast.empty())
        s += " mcast " + r.mcast;
    else if (r.action == RuleDef::Action::Lbg && !r.lbg.empty())
        s += " " + r.lbg;
    else if (r.action == RuleDef::Action::Redirect || r.action == RuleDef::Action::Lbg ||
             r.action == RuleDef::Action::Mirror)
        s += " " + std::to_string(r.target);
    auto add = [&](const char *kw, const std::optional<int> &v) {
        if (v) s += std::string(s.empty() ? "" : " ") + kw + " " + std::to_string(*v);
    };
    add("set-vlan", r.set_vlan);
    add("set-vlan-priority", r.set_vlan_priority);
    add("set-switch-priority", r.set_switch_priority);
    add("set-user-bits", r.set_user_bits);
    return s;
}

std::string rule_match_text(const RuleDef &r) {
    std::string s;
    auto add = [&](const std::string &kw, const std::string &v) {
        s += (s.empty() ? "" : " ") + kw + " " + v;
    };
    if (r.in_port != 0) add("in-port", std::to_string(r.in_port));
    if (r.src_mac) add("src-mac", format_mac(*r.src_mac));
    if (r.dst_mac) add("dst-mac", format_mac(*r.dst_mac));
    if (r.ethertype) add("ethertype", format_ethertype(*r.ethertype));
    if (r.vlan) add("vlan", std::to_string(*r.vlan));
    if (r.vlan_tag) add("vlan-tag", tag_name(*r.vlan_tag));
    if (r.src_ip) add("src-ip", format_ip_prefix(*r.src_ip));
    if (r.dst_ip) add("dst-ip", format_ip_prefix(*r.dst_ip));
    if (r.protocol) add("protocol", format_protocol(*r.protocol));
    auto l4 = [&](const char *kw, const std::optional<int> &p, const std::optional<int> &m,
                  const std::optional<int> &hi) {
        if (p && hi)
            add(kw, std::to_string(*p) + "-" + std::to_string(*hi));
        else if (p)
            add(kw, std::to_string(*p) + (m ? "/" + hex(static_cast<std::uint64_t>(*m), 4) : ""));
    };
    l4("sport", r.sport, r.sport_mask, r.sport_hi);
    l4("dport", r.dport, r.dport_mask, r.dport_hi);
    if (r.mpls) add("mpls", *r.mpls == 2 ? "multicast" : "unicast");
    if (r.mpls_header) {
        std::string v = hex(*r.mpls_header);
        if (*r.mpls_header_mask != ~std::uint64_t{0}) v += "/" + hex(*r.mpls_header_mask);
        add("mpls-header", v);
    }
    return s;
}

std::string comment_text(const RuleDef &r) {
    if (r.comment.empty()) return "";
    // Quoted as the command line and the file read it back.
    const char q = r.comment.find('"') == std::string::npos ? '"' : '\'';
    return std::string(" comment ") + q + r.comment + q;
}

std::string rule_command(const RuleDef &r) {
    std::string head = "group " + std::to_string(r.group) + " id " + std::to_string(r.id);
    std::string match = rule_match_text(r);
    if (r.action == RuleDef::Action::Unreported) {
        // Importing it as anything would install a different rule.
        return "# rule " + head + ": kelfd does not report its action" +
               (match.empty() ? "" : "; match: " + match);
    }
    return "rule add " + head + " " + rule_action_text(r) + (match.empty() ? "" : " " + match) +
           comment_text(r);
}

Json rule_json(const RuleDef &r) {
    Json j = Json::object();
    j["group"] = r.group;
    j["id"] = r.id;
    j["action"] = action_name(r.action);
    if (r.action == RuleDef::Action::Redirect) j["port"] = r.target;
    if (r.action == RuleDef::Action::Lbg) j["lbg"] = r.target;
    if (r.action == RuleDef::Action::Mirror) j["mirror"] = r.target;
    Json set = Json::object();
    if (r.set_vlan) set["vlan"] = *r.set_vlan;
    if (r.set_vlan_priority) set["vlan_priority"] = *r.set_vlan_priority;
    if (r.set_switch_priority) set["switch_priority"] = *r.set_switch_priority;
    if (r.set_user_bits) set["user_bits"] = *r.set_user_bits;
    j["set"] = set;
    Json m = Json::object();
    if (r.in_port != 0) m["in_port"] = r.in_port;
    if (r.src_mac) m["src_mac"] = format_mac(*r.src_mac);
    if (r.dst_mac) m["dst_mac"] = format_mac(*r.dst_mac);
    if (r.ethertype) m["ethertype"] = *r.ethertype;
    if (r.vlan) m["vlan"] = *r.vlan;
    if (r.vlan_tag) m["vlan_tag"] = tag_name(*r.vlan_tag);
    if (r.src_ip) m["src_ip"] = format_ip_prefix(*r.src_ip);
    if (r.dst_ip) m["dst_ip"] = format_ip_prefix(*r.dst_ip);
    if (r.protocol) m["protocol"] = *r.protocol;
    if (r.sport) m["sport"] = *r.sport;
    if (r.sport_mask) m["sport_mask"] = *r.sport_mask;
    if (r.sport_hi) m["sport_last"] = *r.sport_hi;
    if (r.dport) m["dport"] = *r.dport;
    if (r.dport_mask) m["dport_mask"] = *r.dport_mask;
    if (r.dport_hi) m["dport_last"] = *r.dport_hi;
    if (r.mpls) m["mpls"] = *r.mpls == 2 ? "multicast" : "unicast";
    if (r.mpls_header)
        m["mpls_header"] = *r.mpls_header, m["mpls_header_mask"] = *r.mpls_header_mask;
    j["match"] = m;
    if (!r.comment.empty()) j["comment"] = r.comment;
    if (!r.mcast.empty()) j["mcast"] = r.mcast;
    if (!r.lbg.empty()) j["lbg_name"] = r.lbg;
    j["command"] = rule_command(r);
    return j;
}

std::vector<RuleDef> expand_rule(const RuleDef &r) {
    auto pairs = [](const std::optional<int> &lo, const std::optional<int> &hi) {
        std::vector<std::optional<ValueMask>> v;
        if (lo && hi) {
            for (const ValueMask &p : split_port_range(*lo, *hi)) v.push_back(p);
        } else {
            v.push_back(std::nullopt);  // the rule's own value, if any
        }
        return v;
    };
    std::vector<RuleDef> out;
    for (const auto &sp : pairs(r.sport, r.sport_hi))
        for (const auto &dp : pairs(r.dport, r.dport_hi)) {
            RuleDef x = r;
            auto put = [](const std::optional<ValueMask> &p, std::optional<int> &port,
                          std::optional<int> &mask, std::optional<int> &hi) {
                if (!p) return;
                hi.reset();
                port = p->value;
                if (p->mask == 0xFFFF)
                    mask.reset();
                else
                    mask = p->mask;
            };
            put(sp, x.sport, x.sport_mask, x.sport_hi);
            put(dp, x.dport, x.dport_mask, x.dport_hi);
            if (r.id != 0) x.id = r.id + static_cast<std::int64_t>(out.size());
            out.push_back(x);
        }
    return out;
}

RuleDef reported_form(RuleDef r) {
    r.vlan_tag.reset();
    r.set_vlan.reset();
    r.set_vlan_priority.reset();
    if (r.set_user_bits) r.action = RuleDef::Action::Unreported, r.set_user_bits.reset();
    if (r.action == RuleDef::Action::Rewrite && !r.set_switch_priority)
        r.action = RuleDef::Action::Unreported;
    return r;
}

bool same_rule(const RuleDef &a, const RuleDef &b) {
    return same_whole(reported_form(a), reported_form(b));
}

bool same_whole(const RuleDef &a, const RuleDef &b) {
    // Every field but group, id and the names, without copies: a plan
    // compares every rule of a unit.
    auto fields = [](const RuleDef &r) {
        return std::tie(r.action, r.target, r.set_vlan, r.set_vlan_priority, r.set_switch_priority,
                        r.set_user_bits, r.in_port, r.src_mac, r.dst_mac, r.ethertype, r.vlan,
                        r.vlan_tag, r.src_ip, r.dst_ip, r.protocol, r.sport, r.sport_mask, r.dport,
                        r.dport_mask, r.sport_hi, r.dport_hi, r.mpls, r.mpls_header,
                        r.mpls_header_mask);
    };
    return fields(a) == fields(b);
}

}  // namespace kelfctl
