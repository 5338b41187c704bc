// What kelfd holds of the units a plan or a save reads: its read-backs,
// with the names it keeps as labels.
#include <algorithm>

#include "config.h"
#include "readback.h"
#include "rule_ops.h"

namespace kelfctl {

std::string default_name(const char *kind, int number) {
    return std::string(kind) + std::to_string(number);
}

std::vector<int> lbg_share(const std::vector<int> &ports) {
    if (ports.empty()) return ports;
    std::vector<int> bins(256);
    for (std::size_t b = 0; b < bins.size(); ++b) bins[b] = ports[b % ports.size()];
    for (std::size_t n = 1; n <= ports.size(); ++n) {
        bool fits = true;
        for (std::size_t b = n; b < bins.size() && fits; ++b) fits = bins[b] == bins[b % n];
        if (fits) return {bins.begin(), bins.begin() + static_cast<long>(n)};
    }
    return ports;
}

AppliedRecord::AppliedRecord(Session &s) : s_(s) {
    valid_ = have_read_back(s);
    if (!valid_)
        why_ =
            "this kelfd reads back neither names, a group's ports, a mirror's VLAN nor "
            "multicast listeners";
}

void AppliedRecord::load(int unit) {
    if (!valid_) return;
    UnitRecord &r = units[unit];
    r = UnitRecord{};
    // Labelled groups by their labels, then the others by their numbers;
    // a name held twice (an apply cut short while replacing a group) names
    // the first, and the second goes by a name no file gives, so that the
    // plan removes it.
    auto key = [](const auto &taken, const std::string &label, const char *kind, int number) {
        std::string k = label.empty() ? default_name(kind, number) : label;
        if (taken.count(k)) k = default_name(kind, number) + ".held";
        return k;
    };
    std::vector<HeldLbg> lbgs = read_back_lbgs(s_).value_or(std::vector<HeldLbg>{});
    std::stable_partition(lbgs.begin(), lbgs.end(),
                          [](const HeldLbg &l) { return !l.name.empty(); });
    for (const HeldLbg &l : lbgs)
        r.lbgs[key(r.lbgs, l.name, "lbg", l.number)] = {l.number, l.ports};
    for (const HeldMirror &m : read_back_mirrors(s_).value_or(std::vector<HeldMirror>{})) {
        r.mirror_vlans[m.number] = m.vlan;
        r.mirror_ports[m.number] = m.ports;
    }
    std::vector<HeldMcast> mcasts = read_back_mcasts(s_).value_or(std::vector<HeldMcast>{});
    std::stable_partition(mcasts.begin(), mcasts.end(),
                          [](const HeldMcast &m) { return !m.name.empty(); });
    for (const HeldMcast &m : mcasts) {
        std::string name = key(r.mcasts, m.name, "mcast", m.number);
        r.mcasts[name] = {m.number, m.listeners};
        r.mcast_ports[name] = m.port;
    }
    for (RuleDef &x : read_rules(s_, all_groups(), nullptr, false))
        r.rules.emplace_hint(r.rules.end(), std::make_pair(x.group, x.id), std::move(x));
}

void AppliedRecord::lbg(int unit, const std::string &name, int number,
                        const std::vector<int> &ports) {
    if (!valid_) return;
    // The group it replaces gives up the name first.
    auto old = units[unit].lbgs.find(name);
    if (old != units[unit].lbgs.end() && old->second.first != number)
        send_label(s_, KEL_X_LABEL_LBG, old->second.first, 0, "");
    if (name != default_name("lbg", number)) send_label(s_, KEL_X_LABEL_LBG, number, 0, name);
    units[unit].lbgs[name] = {number, ports};
}

void AppliedRecord::lbg_gone(int unit, const std::string &name) {
    units[unit].lbgs.erase(name);
}

void AppliedRecord::mcast(int unit, const std::string &name, int number) {
    if (!valid_) return;
    auto old = units[unit].mcasts.find(name);
    if (old != units[unit].mcasts.end() && old->second.first != number)
        send_label(s_, KEL_X_LABEL_MCAST, old->second.first, 0, "");
    if (name != default_name("mcast", number)) send_label(s_, KEL_X_LABEL_MCAST, number, 0, name);
    units[unit].mcasts[name] = {number, {}};
}

void AppliedRecord::listener(int unit, const std::string &name, int port, int vlan) {
    units[unit].mcasts[name].second.insert({port, vlan});
}

void AppliedRecord::mcast_gone(int unit, const std::string &name) {
    units[unit].mcasts.erase(name);
}

void AppliedRecord::mirror_vlan(int unit, int mirror, int vlan) {
    units[unit].mirror_vlans[mirror] = vlan;
}

void AppliedRecord::mirror_gone(int unit, int mirror) {
    units[unit].mirror_vlans.erase(mirror);
}

void AppliedRecord::rule(int unit, const RuleDef &r) {
    // kelfd gives a staged rule its label when the commit puts it in force.
    if (valid_ && !r.comment.empty()) send_label(s_, KEL_X_LABEL_RULE, r.group, r.id, r.comment);
    units[unit].rules[{r.group, r.id}] = r;
}

void AppliedRecord::rule_gone(int unit, int group, std::int64_t id) {
    units[unit].rules.erase({group, id});
}

const char *op_name(Step::Op op) {
    switch (op) {
        case Step::Op::Create:
            return "create";
        case Step::Op::Change:
            return "change";
        case Step::Op::Remove:
            return "remove";
    }
    return "?";
}

}  // namespace kelfctl
