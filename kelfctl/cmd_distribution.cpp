// Traffic distribution objects: lbg, mirror, mcast, hash.
#include <cstddef>
#include <cstring>

#include "objects.h"
#include "print.h"
#include "state.h"

namespace kelfctl {
namespace {

const char kLbgHelp[] = R"(Usage: kelfctl lbg add PORTS
       kelfctl lbg delete LBG
       kelfctl lbg list
       kelfctl lbg show [LBG]
       kelfctl lbg help

PORTS := LIST like 1-4,7, at most 32 ports

add creates a load-balancing group that spreads traffic evenly over the
ports (a port listed twice gets a double share) and prints its number;
rules send traffic to it with `rule add lbg LBG`. A group's ports cannot
change: delete it and add a new one. list prints the unit's groups (kelfd
reports at most 16); `lbg` alone lists, as does show without LBG. show LBG
prints the group and the rules that send traffic to it; kelfd has no read
of a group's ports, and show says so.
)";

const char kMirrorHelp[] = R"(Usage: kelfctl mirror add MIRROR [ports PORTS]
       kelfctl mirror delete MIRROR
       kelfctl mirror add-port MIRROR PORTS
       kelfctl mirror delete-port MIRROR PORTS
       kelfctl mirror vlan MIRROR { VLAN | none }
       kelfctl mirror list
       kelfctl mirror show [MIRROR]
       kelfctl mirror help

A mirror copies the frames received on its monitored ports to its mirror
port, which is the mirror's number: mirror 10 copies to port 10. add creates
the mirror (or extends an existing one) with the given ports; add-port and
delete-port change them one port at a time; vlan sets the VLAN of the copies.
Rules mirror matching frames with `rule add mirror MIRROR`.
list prints every mirror with its ports (kelfd reports at most 16 mirrors
and 16 ports each); `mirror` alone lists, as does show without MIRROR.
show MIRROR prints its mirror port, monitored ports and the rules that
mirror to it; kelfd has no read of a mirror's VLAN, and show says so.
)";

const char kMcastHelp[] = R"(Usage: kelfctl mcast add
       kelfctl mcast delete GROUP
       kelfctl mcast show GROUP
       kelfctl mcast add-listener GROUP port PORT vlan VLAN
       kelfctl mcast help

add makes an active multicast group for L3 switching and prints its
number (create, the older word, does the same); show prints the logical
port the switch gives the group; add-listener adds a port (1 to 48) on a
VLAN to the group's listeners. kelfd keeps no list of groups or listeners.
)";

const char kHashHelp[] = R"(Usage: kelfctl hash show [ l2 | l3 ]
       kelfctl hash set l2 [profile N] L2FIELD VALUE [L2FIELD VALUE ...]
       kelfctl hash set l3 [profile N] L3FIELD VALUE [L3FIELD VALUE ...]
       kelfctl hash help

L2FIELD := { src-mac MAC | dst-mac MAC | ethertype MASK | vlan-id MASK |
             vlan2-id MASK | vlan-priority MASK | vlan2-priority MASK |
             symmetric-mac { on | off } }
L3FIELD := { src-ip MASK | dst-ip MASK | src-port MASK | dst-port MASK |
             dscp MASK | isl-user MASK | protocol MASK | flow MASK | custom MASK |
             symmetric-l3 { on | off } | symmetric-l4 { on | off } |
             random-next-hop { on | off } | random-other { on | off } |
             random-only { on | off } }

The switch hashes the masked fields of a frame to spread it over a
load-balancing group. set changes only the fields given; the others keep
their values. Masks are numbers (0x... or decimal), the MAC masks are
written like MAC addresses; vlan masks take 12 bits, priority masks 4.
With profile N, the fields as read from profile 0 are written, with the
changes, to hash profile N. show reads profile 0; `hash` alone shows both.
)";

constexpr int kListMax = KEL_LBG_LIST_MAX;

void fill_list(kel_lbg_list_t &l, const std::vector<int> &ports) {
    l.lbg_num = static_cast<std::int32_t>(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) l.lbg_list[i] = ports[i];
}

// Numbers of a list reply, no more than it can hold or than were sent.
std::vector<int> list_of(const kel_lbg_list_t &l, int cap) {
    int n = std::min(std::max(int{l.lbg_num}, 0), cap);
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(l.lbg_list[i]);  // packed: element by element
    return v;
}

void lbg_add(Session &s, Args &a) {
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
    a.finish();
    if (ports.empty() || ports.size() > kListMax) usage("lbg add takes 1 to 32 ports");
    if_kel_lbg_t l = s.lbg(KEL_LBG_ADD);
    fill_list(l.kel_query_list.kel_lbg_list, ports);
    forget_lbgs(s);
    int n = s.value(s.status(l), "create a load-balancing group over ports " +
                                     format_port_list(ports, false));
    s.print(print_lbg_added(n));
}

// Refuses to delete what rules still use, naming them, unless --force.
void check_unused(Session &s, RuleDef::Action action, int target, const std::string &what) {
    if (s.force) return;
    std::vector<RuleRef> refs = rules_using(s, action, target);
    if (!refs.empty())
        refused("cannot delete " + what + ": rules send traffic to it (" + format_refs(refs) +
                "); delete them first, or --force deletes it anyway");
}

void lbg_delete(Session &s, Args &a) {
    int n = static_cast<int>(a.number("LBG", 0, INT32_MAX));
    a.finish();
    std::string what = "load-balancing group " + std::to_string(n);
    Listed l = lbg_numbers(s);
    if (l.whole && std::find(l.numbers.begin(), l.numbers.end(), n) == l.numbers.end())
        refused("cannot delete " + what + ": unit " + std::to_string(s.unit) + " has no such group");
    check_unused(s, RuleDef::Action::Lbg, n, what);
    if_kel_lbg_t req = s.lbg(KEL_LBG_REMOVE);
    req.lbg = n;
    forget_lbgs(s);
    s.value(s.status(req), "delete " + what);
    s.print_ok();
}

void lbg_list(Session &s, Args &a) {
    a.finish();
    forget_lbgs(s);
    Listed l = lbg_numbers(s);
    s.print(print_lbgs(l.numbers, l.whole));
}

RuleUses uses(Session &s, RuleDef::Action action, int target) {
    RuleUses u;
    for (const RuleRef &r : rules_using(s, action, target)) u.emplace_back(r.group, r.id);
    return u;
}

// show LBG: what kelfd reports of one group, and the rules that use it.
void lbg_show(Session &s, Args &a) {
    if (a.done()) return lbg_list(s, a);
    int n = static_cast<int>(a.number("LBG", 0, INT32_MAX));
    a.finish();
    forget_lbgs(s);
    Listed l = lbg_numbers(s);
    bool listed = std::find(l.numbers.begin(), l.numbers.end(), n) != l.numbers.end();
    if (!listed && l.whole)
        refused("unit " + std::to_string(s.unit) + " has no load-balancing group " + std::to_string(n));
    s.print(print_lbg_detail(n, listed, uses(s, RuleDef::Action::Lbg, n)));
}

int mirror_number(Session &s, Args &a) { return s.port(a, "MIRROR", PortFamily::Card); }

// The monitored ports of a mirror; nullopt when it has none (or is none).
std::optional<std::vector<int>> mirror_port_list(Session &s, int m) {
    if_kel_lbg_t l = s.lbg(KEL_MIR_PORT_QUERY_LIST);
    l.lbg = m;
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    if (q.ret != 0) return std::nullopt;
    return list_of(q.kel_lbg_list, KEL_REPLY_LIST_MAX);
}

bool mirror_exists(Session &s, int m) {
    Listed l = mirror_numbers(s);
    return std::find(l.numbers.begin(), l.numbers.end(), m) != l.numbers.end();
}

void mirror_remove_port(Session &s, int m, int p) {
    if_kel_lbg_t l = s.lbg(KEL_MIR_PORT_REMOVE);
    l.lbg = m;
    l.port = p;
    s.status(l);
}

void mirror_add(Session &s, Args &a) {
    int m = mirror_number(s, a);
    std::vector<int> ports;
    if (a.accept("ports")) ports = s.ports(a, "ports PORTS", PortFamily::Card);
    a.finish();
    if (ports.size() > kListMax) usage("mirror add takes at most 32 ports");
    bool existed = mirror_exists(s, m);
    std::vector<int> before = existed ? mirror_port_list(s, m).value_or(std::vector<int>{}) : std::vector<int>{};
    if_kel_lbg_t l = s.lbg(KEL_MIR_ADD);
    l.lbg = m;
    fill_list(l.kel_query_list.kel_lbg_list, ports);
    forget_mirrors(s);
    if (s.status(l) == 0) return s.print_ok();
    // Leave nothing of the failed command behind: the mirror it made, or
    // the ports it added to one that was there.
    std::string undo;
    if (!existed) {
        if_kel_lbg_t rm = s.lbg(KEL_MIR_REMOVE);
        rm.lbg = m;
        s.status(rm);
        undo = "mirror " + std::to_string(m) + " is deleted again";
    } else {
        for (int p : mirror_port_list(s, m).value_or(std::vector<int>{}))
            if (std::find(before.begin(), before.end(), p) == before.end()) mirror_remove_port(s, m, p);
        undo = "the ports it added are removed again";
    }
    refused("cannot " + std::string(existed ? "add ports " : "create mirror ") +
            (existed ? format_port_list(ports) + " to mirror " : "") + std::to_string(m) +
            (existed || ports.empty() ? "" : " with ports " + format_port_list(ports)) +
            ": the switch refused a monitored port (a mirror cannot monitor its own port " +
            std::to_string(m) + "; kelfd's output names the call); " + undo);
}

void mirror_delete(Session &s, Args &a) {
    int m = mirror_number(s, a);
    a.finish();
    std::string what = "mirror " + std::to_string(m);
    if (!mirror_exists(s, m)) refused("cannot delete " + what + ": unit " + std::to_string(s.unit) + " has no such mirror");
    check_unused(s, RuleDef::Action::Mirror, m, what);
    if_kel_lbg_t l = s.lbg(KEL_MIR_REMOVE);
    l.lbg = m;
    forget_mirrors(s);
    s.value(s.status(l), "delete " + what);
    s.print_ok();
}

void mirror_ports(Session &s, Args &a, int code, const char *verb) {
    int m = mirror_number(s, a);
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
    a.finish();
    if (!mirror_exists(s, m))
        refused(std::string("cannot ") + verb + " ports of mirror " + std::to_string(m) + ": unit " +
                std::to_string(s.unit) + " has no such mirror");
    for (int p : ports) {
        if_kel_lbg_t l = s.lbg(code);
        l.lbg = m;
        l.port = p;
        s.value(s.status(l), std::string(verb) + " port " + std::to_string(p) + " of mirror " +
                                 std::to_string(m));
    }
    s.print_ok();
}

void mirror_add_port(Session &s, Args &a) { mirror_ports(s, a, KEL_MIR_PORT_ADD, "add"); }
void mirror_delete_port(Session &s, Args &a) { mirror_ports(s, a, KEL_MIR_PORT_REMOVE, "remove"); }

void mirror_vlan(Session &s, Args &a) {
    int m = mirror_number(s, a);
    int vlan = a.accept("none") ? 0 : static_cast<int>(a.number("VLAN", 1, 4095));
    a.finish();
    if_kel_t k = s.kel(KEL_MIR_VLAN_ADD);
    k.port = m;
    k.group = vlan;
    s.value(s.status(k), "set the VLAN of mirror " + std::to_string(m));
    s.print_ok();
}

void mirror_list(Session &s, Args &a) {
    std::optional<int> only;
    if (!a.done()) only = mirror_number(s, a);
    a.finish();
    forget_mirrors(s);
    Listed l = mirror_numbers(s);
    if (only) {
        if (std::find(l.numbers.begin(), l.numbers.end(), *only) == l.numbers.end())
            refused("unit " + std::to_string(s.unit) + " has no mirror " + std::to_string(*only));
        MirrorInfo m{*only, mirror_port_list(s, *only)};
        return s.print(print_mirror_detail(m, uses(s, RuleDef::Action::Mirror, *only)));
    }
    std::vector<MirrorInfo> info;
    for (int m : l.numbers) info.push_back({m, mirror_port_list(s, m)});
    s.print(print_mirrors(info));
}

void mcast_create(Session &s, Args &a) {
    a.finish();
    if_kel_t k = s.kel(KEL_MCG_CREATE);
    s.print(print_mcast_created(s.value(s.status(k), "create a multicast group")));
}

int mcast_group(Args &a) { return static_cast<int>(a.number("GROUP", 0, INT32_MAX)); }

void mcast_delete(Session &s, Args &a) {
    int g = mcast_group(a);
    a.finish();
    if_kel_t k = s.kel(KEL_MCG_REMOVE);
    k.group = g;
    s.value(s.status(k), "delete multicast group " + std::to_string(g));
    s.print_ok();
}

void mcast_show(Session &s, Args &a) {
    int g = mcast_group(a);
    a.finish();
    if_kel_t k = s.kel(KEL_MCG_GET_PORT);
    k.group = g;
    s.print(print_mcast(g, s.value(s.status(k), "read the port of multicast group " + std::to_string(g))));
}

void mcast_add_listener(Session &s, Args &a) {
    int g = mcast_group(a);
    auto [port, vlan] = listener_words(s, a);
    if_kel_t k = s.kel(KEL_MCG_ADD_LISTENER);
    k.group = g;
    k.port = port;
    k.val = vlan;
    s.value(s.status(k), "add port " + std::to_string(port) + " on VLAN " + std::to_string(vlan) +
                             " to multicast group " + std::to_string(g));
    s.print_ok();
}

Output merge(Output a, const Output &b) {
    for (const auto &[k, v] : b.json.items()) a.json[k] = v;
    a.text += b.text;
    return a;
}

void hash_show(Session &s, Args &a) {
    bool l2 = true, l3 = true;
    if (a.accept("l2")) l3 = false;
    else if (a.accept("l3")) l2 = false;
    a.finish();
    Output o{Json::object(), ""};
    if (l2) o = merge(o, print_l2_hash(get_l2(s)));
    if (l3) o = merge(o, print_l3_hash(get_l3(s)));
    s.print(o);
}

std::uint32_t mask_value(Args &a, const std::string &kw, std::uint32_t hi) {
    return static_cast<std::uint32_t>(a.number(kw + " MASK", 0, hi));
}

void hash_set_l2(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_SET_L2_HASH);
    kel_l2_hash_t &h = k.l2_hash;
    std::uint32_t sel = 0;
    std::optional<std::uint32_t> vid, vid2, pri, pri2;
    while (!a.done()) {
        std::string kw = a.next("L2FIELD");
        auto mac = [&](std::uint8_t *dst, std::uint32_t bit) {
            std::string v = a.next(kw + " MAC");
            Mac m = value([&] { return parse_mac(v, kw); });
            std::memcpy(dst, m.data(), 6);
            sel |= bit;
        };
        if (kw == "profile") h.profile_index = static_cast<std::uint32_t>(a.number("profile", 0, 255)), sel |= KEL_HASH_PROFILE;
        else if (kw == "src-mac") mac(h.src_mac_mask, KEL_L2_HASH_SRC_MAC);
        else if (kw == "dst-mac") mac(h.dst_mac_mask, KEL_L2_HASH_DST_MAC);
        else if (kw == "ethertype") h.ether_type_mask = mask_value(a, kw, 0xFFFF), sel |= KEL_L2_HASH_ETHER_TYPE;
        else if (kw == "vlan-id") vid = mask_value(a, kw, 0xFFF);
        else if (kw == "vlan2-id") vid2 = mask_value(a, kw, 0xFFF);
        else if (kw == "vlan-priority") pri = mask_value(a, kw, 0xF);
        else if (kw == "vlan2-priority") pri2 = mask_value(a, kw, 0xF);
        else if (kw == "symmetric-mac") h.sym_mac = a.on_off(kw) ? 1 : 0, sel |= KEL_L2_HASH_SYM_MAC;
        else usage("unknown L2 hash field '" + kw + "'");
    }
    if (sel == 0 && !vid && !vid2 && !pri && !pri2) usage("hash set l2 needs a field to set");
    // One selector bit writes both VLAN fields of a pair: the one not given
    // keeps its current value.
    if ((vid.has_value() != vid2.has_value()) || (pri.has_value() != pri2.has_value())) {
        kel_l2_hash_t cur = get_l2(s);
        if (vid && !vid2) vid2 = std::uint32_t{cur.vlan2_id_mask};
        if (vid2 && !vid) vid = std::uint32_t{cur.vlan_id_mask};
        if (pri && !pri2) pri2 = std::uint32_t{cur.vlan2_pri};
        if (pri2 && !pri) pri = std::uint32_t{cur.vlan_pri};
    }
    if (vid) h.vlan_id_mask = *vid, h.vlan2_id_mask = *vid2, sel |= KEL_L2_HASH_VLAN_ID;
    if (pri) h.vlan_pri = *pri, h.vlan2_pri = *pri2, sel |= KEL_L2_HASH_VLAN_PRI;
    h.l2_hash_set = sel;
    s.sdk_ok(s.status(k), "set the L2 hash");
    s.print_ok();
}

void hash_set_l3(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_SET_L3_HASH);
    kel_l3_hash_t &h = k.l3_hash;
    std::uint32_t sel = 0;
    struct Mask {
        const char *kw;
        std::size_t off;  // packed: written with memcpy, never through a pointer
        std::uint32_t bit;
        std::uint32_t width = UINT32_MAX;  // the field's bits: DSCP has six
    };
    static const Mask masks[] = {
        {"src-ip", offsetof(kel_l3_hash_t, src_ip_mask), KEL_L3_HASH_SRC_IP},    {"dst-ip", offsetof(kel_l3_hash_t, dst_ip_mask), KEL_L3_HASH_DST_IP},
        {"src-port", offsetof(kel_l3_hash_t, src_port_mask), KEL_L3_HASH_SRC_PORT}, {"dst-port", offsetof(kel_l3_hash_t, dst_port_mask), KEL_L3_HASH_DST_PORT},
        {"dscp", offsetof(kel_l3_hash_t, dscp_mask), KEL_L3_HASH_DSCP, 0x3F},       {"isl-user", offsetof(kel_l3_hash_t, isl_usr_mask), KEL_L3_HASH_ISL_USER},
        {"protocol", offsetof(kel_l3_hash_t, proto_mask), KEL_L3_HASH_PROTO},  {"flow", offsetof(kel_l3_hash_t, flow_mask), KEL_L3_HASH_FLOW},
        {"custom", offsetof(kel_l3_hash_t, custom_mask), KEL_L3_HASH_CUSTOM},
    };
    struct Flag {
        const char *kw;
        std::size_t off;
        std::uint32_t bit;
    };
    static const Flag flags[] = {
        {"symmetric-l3", offsetof(kel_l3_hash_t, sym_l3_fields), KEL_L3_HASH_SYM_L3},
        {"symmetric-l4", offsetof(kel_l3_hash_t, sym_l4_fields), KEL_L3_HASH_SYM_L4},
        {"random-next-hop", offsetof(kel_l3_hash_t, random_next_hop), KEL_L3_HASH_RANDOM_NEXT_HOP},
        {"random-other", offsetof(kel_l3_hash_t, random_other), KEL_L3_HASH_RANDOM_OTHER},
        {"random-only", offsetof(kel_l3_hash_t, random_only), KEL_L3_HASH_RANDOM_ONLY},
    };
    while (!a.done()) {
        std::string kw = a.next("L3FIELD");
        bool known = false;
        if (kw == "profile") {
            h.profile_index = static_cast<std::uint32_t>(a.number("profile", 0, 255));
            sel |= KEL_HASH_PROFILE;
            known = true;
        }
        for (const auto &m : masks)
            if (kw == m.kw) {
                auto v = static_cast<std::uint32_t>(a.number(kw + " MASK", 0, m.width));
                std::memcpy(reinterpret_cast<unsigned char *>(&h) + m.off, &v, sizeof v);
                sel |= m.bit, known = true;
            }
        for (const auto &f : flags)
            if (kw == f.kw) {
                reinterpret_cast<unsigned char *>(&h)[f.off] = a.on_off(kw) ? 1 : 0;
                sel |= f.bit, known = true;
            }
        if (!known) usage("unknown L3 hash field '" + kw + "'");
    }
    if (sel == 0) usage("hash set l3 needs a field to set");
    h.l3_hash_set = sel;
    s.sdk_ok(s.status(k), "set the L3 hash");
    s.print_ok();
}

void hash_set(Session &s, Args &a) {
    if (a.accept("l2")) hash_set_l2(s, a);
    else if (a.accept("l3")) hash_set_l3(s, a);
    else usage("hash set needs l2 or l3");
}

}  // namespace

std::vector<Object> distribution_objects() {
    return {
        {"lbg", nullptr, "load-balancing groups", kLbgHelp, lbg_list,
         {{"add", nullptr, lbg_add},
          {"delete", "del", lbg_delete},
          {"list", "ls", lbg_list},
          {"show", nullptr, lbg_show}}},
        {"mirror", nullptr, "port mirrors", kMirrorHelp, mirror_list,
         {{"add", nullptr, mirror_add},
          {"delete", "del", mirror_delete},
          {"add-port", nullptr, mirror_add_port},
          {"delete-port", nullptr, mirror_delete_port},
          {"vlan", nullptr, mirror_vlan},
          {"list", "ls", mirror_list},
          {"show", nullptr, mirror_list}}},
        {"mcast", nullptr, "multicast groups and listeners", kMcastHelp, nullptr,
         {{"add", "create", mcast_create},
          {"delete", "del", mcast_delete, {"remove"}},
          {"show", nullptr, mcast_show},
          {"add-listener", nullptr, mcast_add_listener}}},
        {"hash", nullptr, "L2 and L3 hash fields", kHashHelp, hash_show,
         {{"show", nullptr, hash_show}, {"set", nullptr, hash_set}}},
    };
}

}  // namespace kelfctl
