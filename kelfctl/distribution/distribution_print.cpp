// Printers of lbg, mirror, mcast and hash.
#include <map>
#include <set>

#include "distribution.h"

namespace kelfctl {
namespace {

Cell mac_cell(const std::uint8_t *p) {
    Mac m;
    std::copy(p, p + 6, m.begin());
    return str(format_mac(m));
}

// A record printed under a heading in text, nested under key in JSON.
Output section(const std::string &key, const std::string &heading, const Record &r) {
    Output o = out(r);
    std::string indented;
    std::size_t pos = 0;
    while (pos < o.text.size()) {
        std::size_t nl = o.text.find('\n', pos);
        indented += "  " + o.text.substr(pos, nl - pos + 1);
        pos = nl + 1;
    }
    Json j = Json::object();
    j[key] = o.json;
    return {j, heading + "\n" + indented};
}

}  // namespace

Cell unreported();

Output print_lbg_added(int lbg) {
    Json j = Json::object();
    j["lbg"] = lbg;
    return {j, "created load-balancing group " + std::to_string(lbg) + "\n"};
}

// kelfd reports neither a group's ports nor a mirror's VLAN: the columns
// say so rather than leave them out.
Cell unreported() {
    return {nullptr, "(not reported)"};
}

Output print_lbgs(const std::vector<int> &lbgs, bool whole) {
    Table t("lbgs", {{"lbg", "LBG"}, {"ports", "PORTS"}});
    for (int n : lbgs) t.row({num(n), unreported()});
    Output o = out(t);
    if (!whole) o.text += "(kelfd lists at most 16 groups; the unit may have more)\n";
    o.json["complete"] = whole;
    return o;
}

Output print_mirrors(const std::vector<MirrorInfo> &m) {
    Table t("mirrors", {{"mirror", "MIRROR"}, {"ports", "MONITORED PORTS"}, {"vlan", "VLAN"}});
    for (const auto &i : m)
        t.row({num(i.mirror), i.ports ? ports(*i.ports) : ports({}), unreported()});
    return out(t);
}

namespace {

Cell rule_uses(const RuleUses &rules) {
    Json j = Json::array();
    std::map<int, std::string> by_group;
    for (const auto &[g, id] : rules) {
        Json r = Json::object();
        r["group"] = g;
        r["id"] = id;
        j.push_back(r);
        std::string &t = by_group[g];
        t += (t.empty() ? "" : ", ") + std::to_string(id);
    }
    std::string text;
    for (const auto &[g, ids] : by_group)
        text += (text.empty() ? "" : "; ") + ("group " + std::to_string(g) + ": " + ids);
    return {j, text.empty() ? "none" : text};
}

}  // namespace

Output print_lbg_detail(int lbg, bool listed, const RuleUses &rules) {
    Record r;
    r.add("lbg", num(lbg))
        .add("listed", Cell{listed, listed ? "yes" : "no (kelfd lists only 16 groups)"})
        .add("ports", Cell{nullptr, "(not reported: this kelfd has no read of a group's ports)"})
        .add("rules", rule_uses(rules));
    return out(r);
}

Output print_mirror_detail(const MirrorInfo &m, const RuleUses &rules) {
    Record r;
    r.add("mirror", num(m.mirror))
        .add("mirror_port", num(m.mirror))
        .add("ports", m.ports ? ports(*m.ports) : Cell{Json::array(), "none"})
        .add("vlan", Cell{nullptr, "(not reported: this kelfd has no read of a mirror's VLAN)"})
        .add("rules", rule_uses(rules));
    return out(r);
}

Output print_mcast_created(int group) {
    Json j = Json::object();
    j["group"] = group;
    return {j, "created multicast group " + std::to_string(group) + "\n"};
}

Output print_mcast(int group, int port) {
    Record r;
    r.add("group", num(group)).add("port", num(port));
    return out(r);
}

Output print_l2_hash(const kel_l2_hash_t &h) {
    Record r;
    r.add("src-mac", mac_cell(h.src_mac_mask))
        .add("dst-mac", mac_cell(h.dst_mac_mask))
        .add("ethertype", hexnum(h.ether_type_mask, 4))
        .add("vlan-id", hexnum(h.vlan_id_mask, 3))
        .add("vlan-priority", hexnum(h.vlan_pri, 1))
        .add("vlan2-id", hexnum(h.vlan2_id_mask, 3))
        .add("vlan2-priority", hexnum(h.vlan2_pri, 1))
        .add("symmetric-mac", on_off(h.sym_mac != 0));
    return section("l2", "l2 hash", r);
}

Output print_l3_hash(const kel_l3_hash_t &h) {
    Record r;
    r.add("src-ip", hexnum(h.src_ip_mask, 8))
        .add("dst-ip", hexnum(h.dst_ip_mask, 8))
        .add("src-port", hexnum(h.src_port_mask, 4))
        .add("dst-port", hexnum(h.dst_port_mask, 4))
        .add("dscp", hexnum(h.dscp_mask, 2))
        .add("isl-user", hexnum(h.isl_usr_mask, 2))
        .add("protocol", hexnum(h.proto_mask, 2))
        .add("flow", hexnum(h.flow_mask, 5))
        .add("custom", hexnum(h.custom_mask, 8))
        .add("symmetric-l3", on_off(h.sym_l3_fields != 0))
        .add("symmetric-l4", on_off(h.sym_l4_fields != 0))
        .add("random-next-hop", on_off(h.random_next_hop != 0))
        .add("random-other", on_off(h.random_other != 0))
        .add("random-only", on_off(h.random_only != 0));
    return section("l3", "l3 hash", r);
}

namespace {

Cell name_cell(const std::string &n) {
    return n.empty() ? Cell{nullptr, "-"} : str(n);
}

Cell listeners_cell(const std::set<std::pair<int, int>> &l) {
    Json j = Json::array();
    std::string text;
    for (auto [p, v] : l) {
        Json x = Json::object();
        x["port"] = p;
        x["vlan"] = v;
        j.push_back(x);
        text += (text.empty() ? "" : ", ") +
                ("port " + std::to_string(p) + " vlan " + std::to_string(v));
    }
    return {j, text.empty() ? "none" : text};
}

Cell vlan_cell(int vlan) {
    return vlan > 0 ? num(vlan) : Cell{nullptr, "frame's own"};
}

Cell lbg_ports_cell(const HeldLbg &l) {
    if (!l.ports.empty()) return ports(l.ports, false);
    if (!l.read) return {nullptr, "(kelfd could not read its bins)"};
    return {nullptr, "(bins set by hand: " + std::to_string(l.map.size()) + " bins)"};
}

}  // namespace

Output print_held_lbgs(const std::vector<HeldLbg> &l) {
    Table t("lbgs", {{"lbg", "LBG"}, {"name", "NAME"}, {"ports", "PORTS"}});
    for (const HeldLbg &g : l) t.row({num(g.number), name_cell(g.name), lbg_ports_cell(g)});
    Output o = out(t);
    o.json["complete"] = true;
    return o;
}

Output print_held_lbg(const HeldLbg &l, const RuleUses &rules) {
    Record r;
    r.add("lbg", num(l.number))
        .add("name", name_cell(l.name))
        .add("ports", lbg_ports_cell(l))
        .add("bins", num(static_cast<std::int64_t>(l.map.size())))
        .add("rules", rule_uses(rules));
    return out(r);
}

Output print_held_mirrors(const std::vector<HeldMirror> &m) {
    Table t(
        "mirrors",
        {{"mirror", "MIRROR"}, {"name", "NAME"}, {"ports", "MONITORED PORTS"}, {"vlan", "VLAN"}});
    for (const HeldMirror &x : m)
        t.row({num(x.number), name_cell(x.name), ports(x.ports), vlan_cell(x.vlan)});
    return out(t);
}

Output print_held_mirror(const HeldMirror &m, const RuleUses &rules) {
    Record r;
    r.add("mirror", num(m.number))
        .add("name", name_cell(m.name))
        .add("mirror_port", num(m.port))
        .add("ports", m.ports.empty() ? Cell{Json::array(), "none"} : ports(m.ports))
        .add("vlan", vlan_cell(m.vlan))
        .add("rules", rule_uses(rules));
    return out(r);
}

Output print_held_mcasts(const std::vector<HeldMcast> &m) {
    Table t("mcasts",
            {{"group", "GROUP"}, {"name", "NAME"}, {"port", "PORT"}, {"listeners", "LISTENERS"}});
    for (const HeldMcast &x : m)
        t.row({num(x.number), name_cell(x.name), num(x.port), listeners_cell(x.listeners)});
    return out(t);
}

Output print_held_mcast(const HeldMcast &m, const RuleUses &rules) {
    Record r;
    r.add("group", num(m.number))
        .add("name", name_cell(m.name))
        .add("port", num(m.port))
        .add("listeners", listeners_cell(m.listeners))
        .add("rules", rule_uses(rules));
    return out(r);
}

}  // namespace kelfctl
