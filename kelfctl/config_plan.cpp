// The plan that brings a unit to its file's state, and the file that
// describes a unit's state: both read kelfd and the record the same way.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>

#include "config.h"
#include "state.h"

namespace kelfctl {
namespace {


int get_cfg(Session &s) {
    if_kel_t k = s.kel(KEL_GET_CFG);
    return s.value(s.status(k), "read the configuration of unit " + std::to_string(s.unit));
}

// A port's mask as an operating configuration leaves it, in the ports a
// mask read shows (1 to 47).
std::vector<int> baseline(int cfg, int p) {
    std::vector<int> v;
    if (cfg == 6)
        for (int q = 1; q <= kMaskPorts; ++q) v.push_back(q);
    if (cfg == 1) {
        int partner = p % 2 == 1 ? p + 1 : p - 1;
        if (partner <= kMaskPorts) v.push_back(partner);
    }
    return v;
}

std::uint64_t mac_of(const std::uint8_t *m) {
    std::uint64_t v = 0;
    for (int i = 0; i < 6; ++i) v = v << 8 | m[i];
    return v;
}

void put_mac(std::uint8_t *dst, std::uint64_t v) {
    for (int i = 5; i >= 0; --i, v >>= 8) dst[i] = static_cast<std::uint8_t>(v);
}

// The L2 fields as kelfd reports them, in the file's keywords; bits a set
// cannot write are left out.
HashFields l2_fields(const kel_l2_hash_t &h) {
    return {{"src-mac", mac_of(h.src_mac_mask)},  {"dst-mac", mac_of(h.dst_mac_mask)},
            {"ethertype", h.ether_type_mask & 0xFFFFu}, {"vlan-id", h.vlan_id_mask & 0xFFFu},
            {"vlan2-id", h.vlan2_id_mask & 0xFFFu}, {"vlan-priority", h.vlan_pri & 0xFu},
            {"vlan2-priority", h.vlan2_pri & 0xFu}, {"symmetric-mac", h.sym_mac != 0 ? 1u : 0u}};
}

HashFields l3_fields(const kel_l3_hash_t &h) {
    return {{"src-ip", h.src_ip_mask},        {"dst-ip", h.dst_ip_mask},
            {"src-port", h.src_port_mask},    {"dst-port", h.dst_port_mask},
            {"dscp", h.dscp_mask & 0x3Fu},    {"isl-user", h.isl_usr_mask},
            {"protocol", h.proto_mask},       {"flow", h.flow_mask},
            {"custom", h.custom_mask},        {"symmetric-l3", h.sym_l3_fields != 0 ? 1u : 0u},
            {"symmetric-l4", h.sym_l4_fields != 0 ? 1u : 0u},
            {"random-next-hop", h.random_next_hop != 0 ? 1u : 0u},
            {"random-other", h.random_other != 0 ? 1u : 0u},
            {"random-only", h.random_only != 0 ? 1u : 0u}};
}

// Field order of the `hash set` lines kelfctl writes.
const char *const kL2Order[] = {"src-mac", "dst-mac", "ethertype", "vlan-id", "vlan2-id",
                                "vlan-priority", "vlan2-priority", "symmetric-mac"};
const char *const kL3Order[] = {"src-ip", "dst-ip", "src-port", "dst-port", "dscp", "isl-user", "protocol",
                                "flow", "custom", "symmetric-l3", "symmetric-l4", "random-next-hop",
                                "random-other", "random-only"};

std::string hash_text(const std::string &kw, std::uint64_t v) {
    if (kw == "src-mac" || kw == "dst-mac") {
        Mac m;
        for (int i = 5; i >= 0; --i, v >>= 8) m[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
        return format_mac(m);
    }
    if (kw.starts_with("symmetric") || kw.starts_with("random")) return v != 0 ? "on" : "off";
    return hex(v);
}

std::string hash_line(const std::string &level, const HashFields &f, const char *const *order, std::size_t n) {
    std::string t = "hash set " + level;
    for (std::size_t i = 0; i < n; ++i)
        if (auto it = f.find(order[i]); it != f.end()) t += " " + it->first + " " + hash_text(it->first, it->second);
    return t;
}

void send_l2(Session &s, const HashFields &f, const HashFields &cur) {
    if_kel_t k = s.kel(KEL_SET_L2_HASH);
    kel_l2_hash_t &h = k.l2_hash;
    std::uint32_t sel = 0;
    auto get = [&](const char *kw) { return f.count(kw) ? f.at(kw) : cur.at(kw); };
    if (f.count("src-mac")) put_mac(h.src_mac_mask, f.at("src-mac")), sel |= KEL_L2_HASH_SRC_MAC;
    if (f.count("dst-mac")) put_mac(h.dst_mac_mask, f.at("dst-mac")), sel |= KEL_L2_HASH_DST_MAC;
    if (f.count("ethertype")) h.ether_type_mask = static_cast<std::uint32_t>(f.at("ethertype")), sel |= KEL_L2_HASH_ETHER_TYPE;
    // One selector bit writes both fields of a VLAN pair.
    if (f.count("vlan-id") || f.count("vlan2-id")) {
        h.vlan_id_mask = static_cast<std::uint32_t>(get("vlan-id"));
        h.vlan2_id_mask = static_cast<std::uint32_t>(get("vlan2-id"));
        sel |= KEL_L2_HASH_VLAN_ID;
    }
    if (f.count("vlan-priority") || f.count("vlan2-priority")) {
        h.vlan_pri = static_cast<std::uint32_t>(get("vlan-priority"));
        h.vlan2_pri = static_cast<std::uint32_t>(get("vlan2-priority"));
        sel |= KEL_L2_HASH_VLAN_PRI;
    }
    if (f.count("symmetric-mac")) h.sym_mac = static_cast<std::uint32_t>(f.at("symmetric-mac")), sel |= KEL_L2_HASH_SYM_MAC;
    h.l2_hash_set = sel;
    s.sdk_ok(s.status(k), "set the L2 hash");
}

void send_l3(Session &s, const HashFields &f) {
    if_kel_t k = s.kel(KEL_SET_L3_HASH);
    kel_l3_hash_t &h = k.l3_hash;
    std::uint32_t sel = 0;
    auto u32 = [&](const char *kw, std::uint32_t bit, std::size_t off) {
        if (!f.count(kw)) return;
        auto v = static_cast<std::uint32_t>(f.at(kw));
        std::memcpy(reinterpret_cast<unsigned char *>(&h) + off, &v, sizeof v);
        sel |= bit;
    };
    auto u8 = [&](const char *kw, std::uint32_t bit, std::size_t off) {
        if (!f.count(kw)) return;
        reinterpret_cast<unsigned char *>(&h)[off] = f.at(kw) != 0 ? 1 : 0;
        sel |= bit;
    };
    u32("src-ip", KEL_L3_HASH_SRC_IP, offsetof(kel_l3_hash_t, src_ip_mask));
    u32("dst-ip", KEL_L3_HASH_DST_IP, offsetof(kel_l3_hash_t, dst_ip_mask));
    u32("src-port", KEL_L3_HASH_SRC_PORT, offsetof(kel_l3_hash_t, src_port_mask));
    u32("dst-port", KEL_L3_HASH_DST_PORT, offsetof(kel_l3_hash_t, dst_port_mask));
    u32("dscp", KEL_L3_HASH_DSCP, offsetof(kel_l3_hash_t, dscp_mask));
    u32("isl-user", KEL_L3_HASH_ISL_USER, offsetof(kel_l3_hash_t, isl_usr_mask));
    u32("protocol", KEL_L3_HASH_PROTO, offsetof(kel_l3_hash_t, proto_mask));
    u32("flow", KEL_L3_HASH_FLOW, offsetof(kel_l3_hash_t, flow_mask));
    u32("custom", KEL_L3_HASH_CUSTOM, offsetof(kel_l3_hash_t, custom_mask));
    u8("symmetric-l3", KEL_L3_HASH_SYM_L3, offsetof(kel_l3_hash_t, sym_l3_fields));
    u8("symmetric-l4", KEL_L3_HASH_SYM_L4, offsetof(kel_l3_hash_t, sym_l4_fields));
    u8("random-next-hop", KEL_L3_HASH_RANDOM_NEXT_HOP, offsetof(kel_l3_hash_t, random_next_hop));
    u8("random-other", KEL_L3_HASH_RANDOM_OTHER, offsetof(kel_l3_hash_t, random_other));
    u8("random-only", KEL_L3_HASH_RANDOM_ONLY, offsetof(kel_l3_hash_t, random_only));
    h.l3_hash_set = sel;
    s.sdk_ok(s.status(k), "set the L3 hash");
}

struct PortProp {
    const char *kw;
    int get, set;
};
constexpr PortProp kProps[] = {{"parser", KEL_GET_PORT_PARSER, KEL_SET_PORT_PARSER},
                               {"frame-update", KEL_GET_RFRAME_UPDATE, KEL_SET_RFRAME_UPDATE},
                               {"ttl-update", KEL_GET_TTL_UPDATE, KEL_SET_TTL_UPDATE}};

std::optional<std::int64_t> read_prop(Session &s, const PortProp &p, int port) {
    if_kel_t k = s.kel(p.get);
    k.port = port;
    std::int32_t v = s.status(k);
    // frame-update is a bit mask: read as unsigned, -1 only means failure
    // for the other two.
    if (v < 0 && std::string_view(p.kw) != "frame-update") return std::nullopt;
    if (std::string_view(p.kw) == "frame-update") return static_cast<std::uint32_t>(v);
    return v;
}

std::string prop_text(const std::string &kw, std::int64_t v) {
    if (kw == "ttl-update") return v != 0 ? "on" : "off";
    if (kw == "frame-update") return hex(static_cast<std::uint64_t>(v));
    return std::to_string(v);
}

std::optional<std::vector<int>> mirror_ports(Session &s, int m) {
    if_kel_lbg_t l = s.lbg(KEL_MIR_PORT_QUERY_LIST);
    l.lbg = m;
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    if (q.ret != 0) return std::vector<int>{};  // a mirror without monitored ports
    int n = std::max(int{q.kel_lbg_list.lbg_num}, 0);
    if (n > KEL_REPLY_LIST_MAX) return std::nullopt;  // more than kelfd reports
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(q.kel_lbg_list.lbg_list[i]);
    std::sort(v.begin(), v.end());
    return v;
}

bool mcast_exists(Session &s, int g) {
    if_kel_t k = s.kel(KEL_MCG_GET_PORT);
    k.group = g;
    return s.status(k) >= 0;
}

int add_rule(Session &s, const RuleDef &r) {
    int code;
    if_kel_t k = rule_request(r, s.unit, &code);
    std::int32_t id = s.status(k);
    if (id != r.id)
        refused("kelfd refused rule " + std::to_string(r.id) + " of group " + std::to_string(r.group) +
                " (reply " + std::to_string(id) + "); kelfd's output says why");
    return 1;
}

int remove_rule(Session &s, int group, std::int64_t id) {
    if_kel_t k = s.kel(KEL_ENTRY_REMOVE);
    k.rule_id = static_cast<std::int32_t>(id);
    k.group = group;
    s.value(s.status(k), "delete rule " + std::to_string(id) + " of group " + std::to_string(group));
    return 1;
}

// The rule as a file writes it: lbg by its name.
std::string file_rule_text(const RuleDef &r, const std::string &lbg) {
    std::string act = rule_action_text(r);
    if (r.action == RuleDef::Action::Lbg) {
        std::string num = "lbg " + std::to_string(r.target);
        act = "lbg " + lbg + act.substr(num.size());
    }
    std::string match = rule_match_text(r);
    return "rule add group " + std::to_string(r.group) + " id " + std::to_string(r.id) + " " + act +
           (match.empty() ? "" : " " + match);
}

bool fully_reported(const RuleDef &r) {
    RuleDef x = reported_form(r);
    return x.action == r.action && !r.vlan_tag && !r.set_vlan && !r.set_vlan_priority && !r.set_user_bits;
}

std::vector<int> all_groups() {
    std::vector<int> g;
    for (int i = 0; i < KEL_MAX_GROUPS; ++i) g.push_back(i);
    return g;
}

// Runs f with the session's unit set to unit.
template <class F>
auto on_unit(Session &s, int unit, F f) {
    int saved = s.unit;
    s.unit = unit;
    struct Back {
        Session &s;
        int u;
        ~Back() { s.unit = u; }
    } back{s, saved};
    return f();
}

void plan_unit(Session &s, int unit, const UnitConfig &want, AppliedRecord &rec, Plan &plan) {
    UnitRecord none;
    UnitRecord &r = rec.valid() ? rec.units[unit] : none;
    std::vector<Step> cfgmask, mirrors, lbgs, mcasts, rule_add, rule_change, rule_remove, lbg_rm, mirror_rm,
        mcast_rm, tail;
    auto step = [&](std::vector<Step> &v, Step::Op op, std::string object, std::string text,
                    std::function<int(Session &)> run) {
        v.push_back({op, unit, std::move(object), std::move(text),
                     [unit, run](Session &ss) { return on_unit(ss, unit, [&] { return run(ss); }); }});
    };

    // Operating configuration and masks.
    int cfg = get_cfg(s);
    std::map<int, std::vector<int>> masks;
    for (int p = 1; p <= kMaskPorts; ++p) masks[p] = read_mask(s, p);
    bool reset = cfg != want.cfg;
    for (int p = 1; p <= kMaskPorts && !reset; ++p)
        if (!want.masks.count(p) && masks[p] != baseline(want.cfg, p)) reset = true;
    std::map<std::vector<int>, std::vector<int>> mask_sets;  // egress -> ports
    for (const auto &[p, eg] : want.masks) {
        const std::vector<int> &from = reset ? baseline(want.cfg, p) : masks[p];
        if (from != eg) mask_sets[eg].push_back(p);
        else if (!reset) ++plan.unchanged;
    }
    if (reset) {
        std::string name = cfg_word(want.cfg);
        int c = want.cfg;
        step(cfgmask, Step::Op::Change, "config",
             cfg != want.cfg ? "config set " + name + " (unit has " + cfg_word(cfg) + ")"
                             : "config set " + name + " (masks of other ports differ from it)",
             [c, name](Session &ss) {
                 if_kel_t k = ss.kel(KEL_SET_CFG);
                 k.cfg = c;
                 ss.value(ss.status(k), "apply configuration " + name);
                 return 1;
             });
    } else {
        ++plan.unchanged;
    }
    for (const auto &ms : mask_sets) {
        const std::vector<int> &eg = ms.first, &ports = ms.second;
        step(cfgmask, Step::Op::Change, "mask", "mask set " + format_port_list(ports) + " to " + format_port_list(eg),
             [eg, ports](Session &ss) {
                 if_kel_mask_t m = ss.mask(KEL_SET_PORT_MASK);
                 set_bits(m.mask.ingress, ports);
                 set_bits(m.mask.egress, eg);
                 ss.value(ss.status(m), "set the masks of ports " + format_port_list(ports));
                 return 1;
             });
    }

    // Mirrors: created or corrected before the rules that use them.
    forget_mirrors(s);
    Listed ml = mirror_numbers(s);
    for (const auto &me : want.mirrors) {
        int m = me.first;
        const FileMirror &fm = me.second;
        bool exists = std::find(ml.numbers.begin(), ml.numbers.end(), m) != ml.numbers.end();
        std::string vtext = fm.vlan != 0 ? "; mirror vlan " + std::to_string(m) + " " + std::to_string(fm.vlan) : "";
        if (!exists) {
            int vlan = fm.vlan;
            std::vector<int> ports = fm.ports;
            step(mirrors, Step::Op::Create, "mirror",
                 "mirror add " + std::to_string(m) + (ports.empty() ? "" : " ports " + format_port_list(ports)) + vtext,
                 [m, ports, vlan, &rec, unit](Session &ss) {
                     if_kel_lbg_t l = ss.lbg(KEL_MIR_ADD);
                     l.lbg = m;
                     l.kel_query_list.kel_lbg_list.lbg_num = static_cast<std::int32_t>(ports.size());
                     for (std::size_t i = 0; i < ports.size(); ++i) l.kel_query_list.kel_lbg_list.lbg_list[i] = ports[i];
                     ss.value(ss.status(l), "create mirror " + std::to_string(m));
                     if (vlan != 0) {
                         if_kel_t k = ss.kel(KEL_MIR_VLAN_ADD);
                         k.port = m;
                         k.group = vlan;
                         ss.value(ss.status(k), "set the VLAN of mirror " + std::to_string(m));
                     }
                     rec.mirror_vlan(unit, m, vlan);
                     return vlan != 0 ? 2 : 1;
                 });
            continue;
        }
        std::optional<std::vector<int>> have = mirror_ports(s, m);
        std::vector<int> add, del;
        if (have) {
            for (int p : fm.ports)
                if (!std::count(have->begin(), have->end(), p)) add.push_back(p);
            for (int p : *have)
                if (!std::count(fm.ports.begin(), fm.ports.end(), p)) del.push_back(p);
        } else {
            // More ports than kelfd lists: start the list again.
            for (int p = 1; p <= KEL_MAX_PORTS; ++p)
                if (p != m && !std::count(fm.ports.begin(), fm.ports.end(), p)) del.push_back(p);
            add = fm.ports;
        }
        bool vlan_known = r.mirror_vlans.count(m) && r.mirror_vlans.at(m) == fm.vlan;
        if (add.empty() && del.empty() && vlan_known) {
            ++plan.unchanged;
            continue;
        }
        std::string text = "mirror " + std::to_string(m) + ":";
        if (!add.empty()) text += " add-port " + format_port_list(add);
        if (!del.empty()) text += " delete-port " + format_port_list(del);
        if (!vlan_known)
            text += " vlan " + (fm.vlan != 0 ? std::to_string(fm.vlan) : std::string("none")) +
                    (r.mirror_vlans.count(m) ? "" : " (its VLAN is not known)");
        int vlan = fm.vlan;
        bool lenient = !have;
        step(mirrors, Step::Op::Change, "mirror", text, [m, add, del, vlan, vlan_known, lenient, &rec, unit](Session &ss) {
            int n = 0;
            for (int p : add) {
                if_kel_lbg_t l = ss.lbg(KEL_MIR_PORT_ADD);
                l.lbg = m;
                l.port = p;
                ss.value(ss.status(l), "add port " + std::to_string(p) + " to mirror " + std::to_string(m));
                ++n;
            }
            for (int p : del) {
                if_kel_lbg_t l = ss.lbg(KEL_MIR_PORT_REMOVE);
                l.lbg = m;
                l.port = p;
                std::int32_t st = ss.status(l);
                if (!lenient) ss.value(st, "remove port " + std::to_string(p) + " from mirror " + std::to_string(m));
                ++n;
            }
            if (!vlan_known) {
                if_kel_t k = ss.kel(KEL_MIR_VLAN_ADD);
                k.port = m;
                k.group = vlan;
                ss.value(ss.status(k), "set the VLAN of mirror " + std::to_string(m));
                rec.mirror_vlan(unit, m, vlan);
                ++n;
            }
            return n;
        });
    }
    for (int m : ml.numbers) {
        if (want.mirrors.count(m)) continue;
        step(mirror_rm, Step::Op::Remove, "mirror", "mirror delete " + std::to_string(m), [m, &rec, unit](Session &ss) {
            if_kel_lbg_t l = ss.lbg(KEL_MIR_REMOVE);
            l.lbg = m;
            ss.value(ss.status(l), "delete mirror " + std::to_string(m));
            rec.mirror_gone(unit, m);
            return 1;
        });
    }

    // Load-balancing groups: a group's ports cannot change, so a changed
    // group is a new group; the rules that use it move to the new number.
    forget_lbgs(s);
    Listed ll = lbg_numbers(s);
    auto numbers = std::make_shared<std::map<std::string, int>>();
    std::set<int> keep;
    std::map<int, std::string> name_of_number;
    for (const auto &[name, v] : r.lbgs) name_of_number[v.first] = name;
    for (const auto &le : want.lbgs) {
        const std::string &name = le.first;
        const FileLbg &fl = le.second;
        auto it = r.lbgs.find(name);
        bool listed = it != r.lbgs.end() &&
                      (std::count(ll.numbers.begin(), ll.numbers.end(), it->second.first) || !ll.whole);
        if (listed && it->second.second == fl.ports) {
            (*numbers)[name] = it->second.first;
            keep.insert(it->second.first);
            ++plan.unchanged;
            continue;
        }
        std::vector<int> ports = fl.ports;
        std::string n = name;
        step(lbgs, listed ? Step::Op::Change : Step::Op::Create, "lbg",
             "lbg add " + name + " ports " + format_port_list(ports, false) +
                 (listed ? " (a new group in place of " + std::to_string(it->second.first) + ", ports " +
                               format_port_list(it->second.second, false) + ")"
                         : ""),
             [n, ports, numbers, &rec, unit](Session &ss) {
                 if_kel_lbg_t l = ss.lbg(KEL_LBG_ADD);
                 l.kel_query_list.kel_lbg_list.lbg_num = static_cast<std::int32_t>(ports.size());
                 for (std::size_t i = 0; i < ports.size(); ++i) l.kel_query_list.kel_lbg_list.lbg_list[i] = ports[i];
                 int num = ss.value(ss.status(l), "create load-balancing group " + n);
                 (*numbers)[n] = num;
                 rec.lbg(unit, n, num, ports);
                 return 1;
             });
    }
    for (int num : ll.numbers) {
        if (keep.count(num)) continue;
        std::string name = name_of_number.count(num) ? name_of_number[num] : "";
        bool replaced = !name.empty() && want.lbgs.count(name);
        step(lbg_rm, Step::Op::Remove, "lbg",
             "lbg delete " + std::to_string(num) + (name.empty() ? "" : " (" + name + (replaced ? ", replaced" : "") + ")"),
             [num, name, replaced, numbers, &rec, unit](Session &ss) {
                 if_kel_lbg_t l = ss.lbg(KEL_LBG_REMOVE);
                 l.lbg = num;
                 ss.value(ss.status(l), "delete load-balancing group " + std::to_string(num));
                 if (!name.empty() && !replaced) rec.lbg_gone(unit, name);
                 return 1;
             });
    }

    // Multicast groups: kelfd lists none, so only the record knows them.
    for (const auto &ce : want.mcasts) {
        const std::string &name = ce.first;
        const FileMcast &fm = ce.second;
        auto it = r.mcasts.find(name);
        bool exists = it != r.mcasts.end() && mcast_exists(s, it->second.first);
        auto listeners = fm.listeners;
        std::string n = name;
        if (exists && it->second.second == fm.listeners) {
            ++plan.unchanged;
            continue;
        }
        if (exists && std::includes(fm.listeners.begin(), fm.listeners.end(), it->second.second.begin(),
                                    it->second.second.end())) {
            std::set<std::pair<int, int>> add;
            std::set_difference(fm.listeners.begin(), fm.listeners.end(), it->second.second.begin(),
                                it->second.second.end(), std::inserter(add, add.end()));
            int g = it->second.first;
            std::string text = "mcast " + name + ":";
            for (auto [p, v] : add) text += " add-listener port " + std::to_string(p) + " vlan " + std::to_string(v);
            step(mcasts, Step::Op::Change, "mcast", text, [n, g, add, &rec, unit](Session &ss) {
                for (auto [p, v] : add) {
                    if_kel_t k = ss.kel(KEL_MCG_ADD_LISTENER);
                    k.group = g;
                    k.port = p;
                    k.val = v;
                    ss.value(ss.status(k), "add a listener to multicast group " + n);
                    rec.listener(unit, n, p, v);
                }
                return static_cast<int>(add.size());
            });
            continue;
        }
        std::string text = "mcast add " + name;
        for (auto [p, v] : listeners) text += "; add-listener port " + std::to_string(p) + " vlan " + std::to_string(v);
        if (exists) text += " (a new group in place of " + std::to_string(it->second.first) + ": listeners cannot be removed)";
        step(mcasts, exists ? Step::Op::Change : Step::Op::Create, "mcast", text, [n, listeners, &rec, unit](Session &ss) {
            if_kel_t c = ss.kel(KEL_MCG_CREATE);
            int g = ss.value(ss.status(c), "create multicast group " + n);
            rec.mcast(unit, n, g);
            for (auto [p, v] : listeners) {
                if_kel_t k = ss.kel(KEL_MCG_ADD_LISTENER);
                k.group = g;
                k.port = p;
                k.val = v;
                ss.value(ss.status(k), "add a listener to multicast group " + n);
                rec.listener(unit, n, p, v);
            }
            return 1 + static_cast<int>(listeners.size());
        });
        if (exists) {
            int g = it->second.first;
            step(mcast_rm, Step::Op::Remove, "mcast", "mcast delete " + std::to_string(g) + " (" + name + ", replaced)",
                 [g](Session &ss) {
                     if_kel_t k = ss.kel(KEL_MCG_REMOVE);
                     k.group = g;
                     ss.value(ss.status(k), "delete multicast group " + std::to_string(g));
                     return 1;
                 });
        }
    }
    for (const auto &ce : r.mcasts) {
        const std::string &name = ce.first;
        const auto &v = ce.second;
        if (want.mcasts.count(name) || !mcast_exists(s, v.first)) continue;
        int g = v.first;
        std::string n = name;
        step(mcast_rm, Step::Op::Remove, "mcast", "mcast delete " + std::to_string(g) + " (" + name + ")",
             [g, n, &rec, unit](Session &ss) {
                 if_kel_t k = ss.kel(KEL_MCG_REMOVE);
                 k.group = g;
                 ss.value(ss.status(k), "delete multicast group " + std::to_string(g));
                 rec.mcast_gone(unit, n);
                 return 1;
             });
    }

    // Rules. A rule stays (at its id, in force) when kelfd holds it as the
    // record says, or, for a rule kelfd reports whole, as the file says.
    std::map<std::pair<int, std::int64_t>, RuleDef> held;
    for (const RuleDef &x : read_rules(s, all_groups())) held[{x.group, x.id}] = x;
    std::map<int, int> adds_per_group, held_per_group;
    for (const auto &[k, x] : held) ++held_per_group[k.first];
    for (const auto &re : want.rules) {
        const auto &key = re.first;
        const FileRule &fr = re.second;
        RuleDef w = fr.def;
        bool pending = false;
        if (w.action == RuleDef::Action::Lbg) {
            if (numbers->count(fr.lbg)) w.target = numbers->at(fr.lbg);
            else pending = true;
        }
        auto h = held.find(key);
        if (h != held.end() && !pending) {
            auto rr = r.rules.find(key);
            bool same = rr != r.rules.end() ? rr->second == w && same_rule(h->second, rr->second)
                                            : fully_reported(w) && same_rule(h->second, w);
            if (same) {
                ++plan.unchanged;
                continue;
            }
        }
        RuleDef def = fr.def;
        std::string lbg = fr.lbg;
        std::string text = file_rule_text(def, lbg);
        auto send = [def, lbg, numbers, &rec, unit](Session &ss) {
            RuleDef x = def;
            if (x.action == RuleDef::Action::Lbg) x.target = numbers->at(lbg);
            add_rule(ss, x);
            rec.rule(unit, x);
            return 1;
        };
        if (h == held.end()) {
            ++adds_per_group[key.first];
            step(rule_add, Step::Op::Create, "rule", text, send);
        } else {
            int g = key.first;
            std::int64_t id = key.second;
            step(rule_change, Step::Op::Change, "rule", text + " (was: " + rule_command(h->second) + ")",
                 [g, id, send, &rec, unit](Session &ss) {
                     remove_rule(ss, g, id);
                     rec.rule_gone(unit, g, id);
                     return 1 + send(ss);
                 });
        }
    }
    std::vector<Step> early_remove;
    for (const auto &he : held) {
        const auto &key = he.first;
        const RuleDef &x = he.second;
        if (want.rules.count(key)) continue;
        int g = key.first;
        std::int64_t id = key.second;
        // A group that would overflow gets room first.
        bool early = held_per_group[g] + adds_per_group[g] > KEL_MAX_RULES;
        step(early ? early_remove : rule_remove, Step::Op::Remove, "rule",
             "rule delete group " + std::to_string(g) + " id " + std::to_string(id) + " (" + rule_command(x) + ")",
             [g, id, &rec, unit](Session &ss) {
                 remove_rule(ss, g, id);
                 rec.rule_gone(unit, g, id);
                 return 1;
             });
    }

    // Hash fields and port properties the file names.
    // The fields the file names whose value differs from the switch's.
    auto differing = [](const HashFields &wanted, const HashFields &cur) {
        HashFields diff;
        for (const auto &[k, v] : wanted)
            if (cur.at(k) != v) diff[k] = v;
        return diff;
    };
    if (!want.l2.empty()) {
        HashFields cur = l2_fields(get_l2(s)), diff = differing(want.l2, cur);
        if (diff.empty()) ++plan.unchanged;
        else
            step(tail, Step::Op::Change, "hash", hash_line("l2", diff, kL2Order, std::size(kL2Order)),
                 [diff, cur](Session &ss) {
                     send_l2(ss, diff, cur);
                     return 1;
                 });
    }
    if (!want.l3.empty()) {
        HashFields diff = differing(want.l3, l3_fields(get_l3(s)));
        if (diff.empty()) ++plan.unchanged;
        else
            step(tail, Step::Op::Change, "hash", hash_line("l3", diff, kL3Order, std::size(kL3Order)),
                 [diff](Session &ss) {
                     send_l3(ss, diff);
                     return 1;
                 });
    }
    std::map<PortProps, std::vector<int>> prop_sets;
    for (const auto &[port, props] : want.ports) {
        PortProps diff;
        for (const PortProp &pp : kProps) {
            auto it = props.find(pp.kw);
            if (it == props.end()) continue;
            if (read_prop(s, pp, port) != it->second) diff[pp.kw] = it->second;
        }
        if (diff.empty()) ++plan.unchanged;
        else prop_sets[diff].push_back(port);
    }
    for (const auto &pe : prop_sets) {
        const PortProps &diff = pe.first;
        const std::vector<int> &ports = pe.second;
        std::string text = "port set " + format_port_list(ports);
        for (const auto &[k, v] : diff) text += " " + k + " " + prop_text(k, v);
        step(tail, Step::Op::Change, "port", text, [diff, ports](Session &ss) {
            int n = 0;
            for (int p : ports)
                for (const PortProp &pp : kProps) {
                    auto it = diff.find(pp.kw);
                    if (it == diff.end()) continue;
                    if_kel_t k = ss.kel(pp.set);
                    k.port = p;
                    k.val = static_cast<std::int32_t>(it->second);
                    ss.value(ss.status(k), "set " + std::string(pp.kw) + " of port " + std::to_string(p));
                    ++n;
                }
            return n;
        });
    }

    for (auto *v : {&cfgmask, &mirrors, &lbgs, &mcasts, &early_remove, &rule_add, &rule_change, &rule_remove,
                    &lbg_rm, &mirror_rm, &mcast_rm, &tail})
        for (auto &st : *v) plan.steps.push_back(std::move(st));
}

}  // namespace

Plan make_plan(Session &s, const ConfigFile &f, AppliedRecord &rec) {
    Plan plan;
    for (const auto &ue : f.units) {
        int unit = ue.first;
        const UnitConfig &want = ue.second;
        on_unit(s, unit, [&] {
            s.require_unit();
            plan_unit(s, unit, want, rec, plan);
            return 0;
        });
    }
    return plan;
}

std::vector<RuleDef> export_forms(Session &s, const std::vector<RuleDef> &rules,
                                   std::vector<std::string> *missing) {
    AppliedRecord rec(s.run_dir);
    const UnitRecord *r = rec.valid() && rec.units.count(s.unit) ? &rec.units.at(s.unit) : nullptr;
    std::vector<RuleDef> out;
    for (const RuleDef &x : rules) {
        if (r != nullptr) {
            auto it = r->rules.find({x.group, x.id});
            if (it != r->rules.end() && same_rule(x, it->second)) {
                out.push_back(it->second);
                continue;
            }
        }
        if (x.action == RuleDef::Action::Unreported) {
            missing->push_back("rule " + std::to_string(x.id) + " of group " + std::to_string(x.group) +
                               ": kelfd does not report its action" +
                               (rule_match_text(x).empty() ? "" : " (match: " + rule_match_text(x) + ")"));
            continue;
        }
        out.push_back(x);
    }
    return out;
}

void settle_record(AppliedRecord &rec, const ConfigFile &f) {
    if (!rec.valid()) return;
    for (const auto &ue : f.units) {
        const UnitConfig &want = ue.second;
        UnitRecord &r = rec.units[ue.first];
        std::erase_if(r.lbgs, [&](const auto &e) { return !want.lbgs.count(e.first); });
        std::erase_if(r.mcasts, [&](const auto &e) { return !want.mcasts.count(e.first); });
        std::erase_if(r.mirror_vlans, [&](const auto &e) { return !want.mirrors.count(e.first); });
        r.rules.clear();
        for (const auto &[key, fr] : want.rules) {
            RuleDef x = fr.def;
            if (x.action == RuleDef::Action::Lbg) {
                if (!r.lbgs.count(fr.lbg)) continue;
                x.target = r.lbgs.at(fr.lbg).first;
            }
            r.rules[key] = x;
        }
    }
    rec.compact();
}

Saved save_config(Session &s, const std::vector<int> &units, const AppliedRecord &rec) {
    Saved out;
    for (int unit : units) {
        on_unit(s, unit, [&] {
            UnitRecord none;
            const UnitRecord &r = rec.valid() && rec.units.count(unit) ? rec.units.at(unit) : none;
            std::string U = "unit " + std::to_string(unit) + ": ";
            std::string t = "unit " + std::to_string(unit) + "\n";
            int cfg = get_cfg(s);
            bool cfg_ok = cfg == 1 || cfg == 5 || cfg == 6;
            if (cfg_ok) t += "config set " + cfg_word(cfg) + "\n";
            else
                out.missing.push_back(U + "operating configuration " + cfg_word(cfg) +
                                      (cfg == 2 ? ": fan-in adds rules whose ids the switch chooses" : ": not one kelfctl knows"));
            std::map<std::vector<int>, std::vector<int>> masks;
            for (int p = 1; p <= kMaskPorts; ++p) {
                std::vector<int> eg = read_mask(s, p);
                if (!cfg_ok || eg != baseline(cfg, p)) masks[eg].push_back(p);
            }
            for (const auto &[eg, ports] : masks)
                t += "mask set " + format_port_list(ports) + " to " + format_port_list(eg) + "\n";
            t += hash_line("l2", l2_fields(get_l2(s)), kL2Order, std::size(kL2Order)) + "\n";
            t += hash_line("l3", l3_fields(get_l3(s)), kL3Order, std::size(kL3Order)) + "\n";
            std::map<PortProps, std::vector<int>> props;
            for (int p = 1; p <= KEL_MAX_PORTS; ++p) {
                PortProps pp;
                for (const PortProp &x : kProps)
                    if (auto v = read_prop(s, x, p)) pp[x.kw] = *v;
                if (!pp.empty()) props[pp].push_back(p);
            }
            for (const auto &[pp, ports] : props) {
                t += "port set " + format_port_list(ports);
                for (const PortProp &x : kProps)
                    if (pp.count(x.kw)) t += std::string(" ") + x.kw + " " + prop_text(x.kw, pp.at(x.kw));
                t += "\n";
            }
            forget_mirrors(s);
            Listed ml = mirror_numbers(s);
            if (!ml.whole) out.missing.push_back(U + "mirrors past the 16 kelfd lists");
            std::set<int> mirrors;
            for (int m : ml.numbers) {
                auto ports = mirror_ports(s, m);
                if (!ports) {
                    out.missing.push_back(U + "mirror " + std::to_string(m) + ": more monitored ports than the 16 kelfd lists");
                    continue;
                }
                if (!r.mirror_vlans.count(m)) {
                    out.missing.push_back(U + "mirror " + std::to_string(m) +
                                          ": kelfd does not report its VLAN and kelfctl apply did not set it");
                    continue;
                }
                mirrors.insert(m);
                t += "mirror add " + std::to_string(m) + (ports->empty() ? "" : " ports " + format_port_list(*ports)) + "\n";
                if (r.mirror_vlans.at(m) != 0)
                    t += "mirror vlan " + std::to_string(m) + " " + std::to_string(r.mirror_vlans.at(m)) + "\n";
            }
            forget_lbgs(s);
            Listed ll = lbg_numbers(s);
            if (!ll.whole) out.missing.push_back(U + "load-balancing groups past the 16 kelfd lists");
            std::map<int, std::string> lbg_name;
            for (int n : ll.numbers) {
                std::string name;
                for (const auto &[nm, v] : r.lbgs)
                    if (v.first == n) name = nm;
                if (name.empty()) {
                    out.missing.push_back(U + "load-balancing group " + std::to_string(n) +
                                          ": kelfd does not report its ports and kelfctl apply did not create it");
                    continue;
                }
                lbg_name[n] = name;
                t += "lbg add " + name + " ports " + format_port_list(r.lbgs.at(name).second, false) + "\n";
            }
            for (const auto &[name, v] : r.mcasts) {
                if (!mcast_exists(s, v.first)) continue;
                t += "mcast add " + name + "\n";
                for (auto [p, vl] : v.second)
                    t += "mcast add-listener " + name + " port " + std::to_string(p) + " vlan " + std::to_string(vl) + "\n";
            }
            for (const RuleDef &x : read_rules(s, all_groups())) {
                std::string id = U + "rule " + std::to_string(x.id) + " of group " + std::to_string(x.group);
                auto rr = r.rules.find({x.group, x.id});
                if (rr == r.rules.end() || !same_rule(x, rr->second)) {
                    out.missing.push_back(id + " (kelfd reports: " + rule_command(x) +
                                          "): not as kelfctl apply left it, and kelfd does not report vlan-tag, "
                                          "set-vlan, set-vlan-priority or set-user-bits");
                    continue;
                }
                const RuleDef &full = rr->second;
                if (full.action == RuleDef::Action::Lbg && !lbg_name.count(full.target)) {
                    out.missing.push_back(id + ": its load-balancing group " + std::to_string(full.target) + " is not described");
                    continue;
                }
                if (full.action == RuleDef::Action::Mirror && !mirrors.count(full.target)) {
                    out.missing.push_back(id + ": its mirror " + std::to_string(full.target) + " is not described");
                    continue;
                }
                t += file_rule_text(full, lbg_name.count(full.target) ? lbg_name[full.target] : "") + "\n";
            }
            out.text += t;
            return 0;
        });
    }
    return out;
}

}  // namespace kelfctl
