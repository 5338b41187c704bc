// The rule object in the configuration file: its lines, its part of the
// plan and of a saved file, and the export of `rule list -d`.
#include "file_parts.h"
#include "ranges.h"
#include "readback.h"
#include "rule_ops.h"

namespace kelfctl {
namespace {

int add_rule(Session &s, const RuleDef &r) {
    std::int32_t id = send_rule(s, r);
    if (id != r.id)
        refused("kelfd refused rule " + std::to_string(r.id) + " of group " +
                std::to_string(r.group) + " (reply " + std::to_string(id) + "); " + kKelfdLogsWhy);
    return 1;
}

int remove_rule(Session &s, int group, std::int64_t id) {
    s.value(send_rule_remove(s, group, id),
            "delete rule " + std::to_string(id) + " of group " + std::to_string(group));
    return 1;
}

// The rule as a file writes it: lbg and mcast by their names.
std::string file_rule_text(RuleDef r, const std::string &lbg) {
    if (r.action == RuleDef::Action::Lbg) r.lbg = lbg;
    std::string act = rule_action_text(r);
    std::string match = rule_match_text(r);
    return "rule add group " + std::to_string(r.group) + " id " + std::to_string(r.id) + " " + act +
           (match.empty() ? "" : " " + match) + comment_text(r);
}

// The L4 port of one side as a block of ports: value, and how many.
struct Block {
    int lo, size;
};
std::optional<Block> block_of(const std::optional<int> &port, const std::optional<int> &mask) {
    // Only the forms a split range takes: a single port without a mask.
    if (!port || (mask && (*mask & 0xFFFF) == 0xFFFF)) return std::nullopt;
    const int m = mask.value_or(0xFFFF) & 0xFFFF;
    const int size = (~m & 0xFFFF) + 1;
    if ((size & (size - 1)) != 0) return std::nullopt;  // not a block of a range
    return Block{*port & m, size};
}

// Consecutive rules (by id) that kelfctl split from one port range, written
// back as the range: alike but for one side's port, whose blocks are
// exactly those the range splits into.
std::vector<RuleDef> join_ranges(const std::vector<RuleDef> &rules, bool src) {
    std::vector<RuleDef> out;
    auto side = [src](RuleDef &r) -> std::pair<std::optional<int> &, std::optional<int> &> {
        return {src ? r.sport : r.dport, src ? r.sport_mask : r.dport_mask};
    };
    std::size_t i = 0;
    while (i < rules.size()) {
        RuleDef first = rules[i];
        auto [p0, m0] = side(first);
        std::optional<Block> b0 = block_of(p0, m0);
        const bool hi_set = src ? first.sport_hi.has_value() : first.dport_hi.has_value();
        std::size_t best = i;
        if (b0 && !hi_set) {
            RuleDef bare = first;
            side(bare).first.reset(), side(bare).second.reset();
            int next = b0->lo + b0->size;
            for (std::size_t j = i + 1; j < rules.size(); ++j) {
                RuleDef x = rules[j];
                if (x.group != first.group || x.id != rules[j - 1].id + 1) break;
                auto [pj, mj] = side(x);
                std::optional<Block> bj = block_of(pj, mj);
                if (!bj || bj->lo != next) break;
                RuleDef xb = x;
                side(xb).first.reset(), side(xb).second.reset();
                if (!same_whole(xb, bare) || xb.comment != bare.comment) break;
                next = bj->lo + bj->size;
                // The run is a range when kelfctl would split LO-HI into it.
                if (split_port_range(b0->lo, next - 1).size() == j - i + 1) best = j;
            }
        }
        if (best > i) {
            auto [p, m] = side(first);
            int lo = b0->lo;
            int hi = 0;
            {
                RuleDef last = rules[best];
                auto [pl, ml] = side(last);
                Block bl = *block_of(pl, ml);
                hi = bl.lo + bl.size - 1;
            }
            p = lo;
            m.reset();
            (src ? first.sport_hi : first.dport_hi) = hi;
        }
        out.push_back(first);
        i = best + 1;
    }
    return out;
}

// The rules of a group with their port ranges joined again.
std::vector<RuleDef> with_ranges(const std::vector<RuleDef> &rules) {
    return join_ranges(join_ranges(rules, false), true);
}

// A mirror rule held with an in-port (added before kelfctl refused one)
// is written as the switch matches it: on every port.
RuleDef as_matched(RuleDef r) {
    if (r.action == RuleDef::Action::Mirror) r.in_port = 0;
    return r;
}

bool fully_reported(const RuleDef &r) {
    RuleDef x = reported_form(r);
    return x.action == r.action && !r.vlan_tag && !r.set_vlan && !r.set_vlan_priority &&
           !r.set_user_bits;
}

}  // namespace

void parse_rule_line(FileUnit &f, std::vector<std::string> words, int n) {
    // The file names load-balancing groups: `lbg NAME` becomes a
    // placeholder number that the plan resolves.
    std::string lbg;
    bool group = false, id = false;
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (words[i] == "group") group = true;
        if (words[i] == "id") id = true;
        if (words[i] == "lbg" && i + 1 < words.size()) {
            if (!is_name(words[i + 1]))
                usage("rule add lbg: name the group as the file's lbg add does, not by number ('" +
                      words[i + 1] + "')");
            lbg = words[i + 1];
            words[i + 1] = "0";
        }
    }
    if (!group || !id) usage("a rule in a file needs its group and id: rule add group G id N ...");
    Args a({words.begin() + 2, words.end()});
    RuleDef r = parse_rule(a);
    check_new_rule(r);
    if (r.in_port != 0 && !port_in(PortFamily::RuleIn, r.in_port))
        bad_port("in-port PORT", r.in_port, f.unit, PortFamily::RuleIn);
    if (r.action == RuleDef::Action::Redirect && !r.mcast.empty() && !f.u.mcasts.count(r.mcast))
        usage("rule add redirect mcast " + r.mcast + ": no multicast group " + r.mcast +
              " is added above");
    if (r.action == RuleDef::Action::Redirect && r.mcast.empty() &&
        !port_in(PortFamily::Card, r.target))
        bad_port("redirect PORT", r.target, f.unit, PortFamily::Card);
    if (r.action == RuleDef::Action::Lbg && !f.u.lbgs.count(lbg))
        usage("rule add lbg " + lbg + ": no load-balancing group " + lbg + " is added above");
    if (r.action == RuleDef::Action::Mirror &&
        (!f.u.mirrors.count(r.target) || f.u.mirrors[r.target].line == 0))
        usage("rule add mirror " + std::to_string(r.target) + ": mirror " +
              std::to_string(r.target) + " is not added above");
    std::vector<RuleDef> rules = expand_rule(r);
    // kelfd lists ids by their low 16 bits: larger ones could not be told apart.
    if (r.id + static_cast<std::int64_t>(rules.size()) - 1 > 0xFFFF)
        usage("id " + std::to_string(r.id) +
              ": a file's rule ids go up to 65535 (kelfd lists 16 bits)" +
              (rules.size() > 1 ? "; this range takes " + std::to_string(rules.size()) + " ids"
                                : ""));
    for (const RuleDef &x : rules) {
        auto key = std::make_pair(x.group, x.id);
        if (f.u.rules.count(key))
            usage("rule " + std::to_string(x.id) + " of group " + std::to_string(x.group) +
                  " is already given on line " + std::to_string(f.u.rules[key].line) +
                  (rules.size() > 1
                       ? " (this line's port range takes ids " + std::to_string(r.id) + " to " +
                             std::to_string(r.id + static_cast<std::int64_t>(rules.size()) - 1) +
                             ")"
                       : ""));
        f.u.rules[key] = {x, lbg, r.mcast, n};
    }
}

void plan_rules(UnitPlan &up) {
    auto numbers = up.lbg_numbers;
    // A rule stays (at its id, in force) when kelfd holds it as the
    // record says, or, for a rule kelfd reports whole, as the file says.
    auto ports = up.mcast_ports;
    // What kelfd holds, read back with the unit (not copied: a full unit is
    // 131,072 rules), or read now from a kelfd without read-backs.
    std::map<std::pair<int, std::int64_t>, RuleDef> read;
    if (!up.rec.valid())
        for (RuleDef &x : read_rules(up.s, all_groups())) read[{x.group, x.id}] = std::move(x);
    const std::map<std::pair<int, std::int64_t>, RuleDef> &held =
        up.rec.valid() ? up.r.rules : read;
    std::map<int, int> adds_per_group, held_per_group;
    for (const auto &[k, x] : held) ++held_per_group[k.first];
    for (const auto &re : up.want.rules) {
        const auto &key = re.first;
        const FileRule &fr = re.second;
        RuleDef w = fr.def;
        bool pending = false;
        if (w.action == RuleDef::Action::Lbg) {
            if (numbers->count(fr.lbg))
                w.target = numbers->at(fr.lbg);
            else
                pending = true;
        }
        if (!fr.mcast.empty()) {
            if (ports->count(fr.mcast))
                w.target = ports->at(fr.mcast);
            else
                pending = true;
        }
        auto h = held.find(key);
        if (h != held.end() && !pending) {
            bool same = up.rec.valid() ? same_whole(h->second, w)
                                       : fully_reported(w) && same_rule(h->second, w);
            if (same && up.rec.valid() && h->second.comment != w.comment) {
                RuleDef x = w;
                up.step(up.rule_change, Step::Op::Change, "rule",
                        file_rule_text(x, fr.lbg) + " (its comment)", [x](Session &ss) {
                            send_label(ss, KEL_X_LABEL_RULE, x.group, x.id, x.comment);
                            return 1;
                        });
                continue;
            }
            if (same) {
                ++up.plan.unchanged;
                continue;
            }
        }
        RuleDef def = fr.def;
        std::string lbg = fr.lbg, mcast = fr.mcast;
        std::string text = file_rule_text(def, lbg);
        auto send = [def, lbg, mcast, numbers, ports, &rec = up.rec, unit = up.unit](Session &ss) {
            RuleDef x = def;
            if (x.action == RuleDef::Action::Lbg) x.target = numbers->at(lbg);
            if (!mcast.empty()) x.target = ports->at(mcast);
            add_rule(ss, x);
            rec.rule(unit, x);
            return 1;
        };
        if (h == held.end()) {
            ++adds_per_group[key.first];
            up.step(up.rule_add, Step::Op::Create, "rule", text, send);
        } else {
            int g = key.first;
            std::int64_t id = key.second;
            up.step(up.rule_change, Step::Op::Change, "rule",
                    text + " (was: " + rule_command(h->second) + ")",
                    [g, id, send, &rec = up.rec, unit = up.unit](Session &ss) {
                        remove_rule(ss, g, id);
                        rec.rule_gone(unit, g, id);
                        return 1 + send(ss);
                    });
        }
    }
    for (const auto &he : held) {
        const auto &key = he.first;
        const RuleDef &x = he.second;
        if (up.want.rules.count(key)) continue;
        int g = key.first;
        std::int64_t id = key.second;
        // A group that would overflow gets room first.
        bool early = held_per_group[g] + adds_per_group[g] > KEL_MAX_RULES;
        up.step(early ? up.early_remove : up.rule_remove, Step::Op::Remove, "rule",
                "rule delete group " + std::to_string(g) + " id " + std::to_string(id) + " (" +
                    rule_command(x) + ")",
                [g, id, &rec = up.rec, unit = up.unit](Session &ss) {
                    remove_rule(ss, g, id);
                    rec.rule_gone(unit, g, id);
                    return 1;
                });
    }
}

void save_rules(UnitSave &u) {
    std::vector<std::string> unreadable;
    std::vector<RuleDef> held;
    if (u.valid)
        for (const auto &[k, x] : u.r.rules) held.push_back(x);
    else
        held = read_rules(u.s, all_groups(), &unreadable);
    for (const auto &w : unreadable) u.missing.push_back(u.unit_prefix + w);
    std::vector<RuleDef> described;
    for (RuleDef x : held) {
        std::string id =
            u.unit_prefix + "rule " + std::to_string(x.id) + " of group " + std::to_string(x.group);
        if (!u.valid && !fully_reported(x)) {
            u.missing.push_back(id + " (kelfd reports: " + rule_command(x) +
                                "): this kelfd does not report vlan-tag, set-vlan, "
                                "set-vlan-priority or set-user-bits");
            continue;
        }
        if (x.action == RuleDef::Action::Lbg && !u.lbg_name.count(x.target)) {
            u.missing.push_back(id + ": its load-balancing group " + std::to_string(x.target) +
                                " is not described");
            continue;
        }
        if (x.action == RuleDef::Action::Mirror && !u.mirrors.count(x.target)) {
            u.missing.push_back(id + ": its mirror " + std::to_string(x.target) +
                                " is not described");
            continue;
        }
        if (x.action == RuleDef::Action::Redirect && !port_in(PortFamily::Card, x.target)) {
            if (!u.mcast_name.count(x.target)) {
                u.missing.push_back(id + ": it redirects to port " + std::to_string(x.target) +
                                    ", neither a card port nor a multicast group's");
                continue;
            }
            x.mcast = u.mcast_name.at(x.target);
        }
        if (x.vlan_tag && (*x.vlan_tag < 0 || *x.vlan_tag >= kVlanTagTypes)) {
            u.missing.push_back(id + ": it matches a VLAN tag type kelfctl does not know");
            continue;
        }
        if (x.action == RuleDef::Action::Mirror && x.in_port != 0)
            u.s.err() << "kelfctl: warning: " << id << " is saved without its in-port " << x.in_port
                      << ": " << kMirrorInPort << "\n";
        described.push_back(as_matched(x));
    }
    for (const RuleDef &x : with_ranges(described))
        u.text += file_rule_text(x, u.lbg_name.count(x.target) ? u.lbg_name[x.target] : "") + "\n";
}

std::vector<RuleDef> export_forms(Session &, const std::vector<RuleDef> &rules,
                                  std::vector<std::string> *missing) {
    std::vector<RuleDef> out;
    for (const RuleDef &x : rules) {
        if (x.action == RuleDef::Action::Unreported || !fully_reported(x)) {
            missing->push_back(
                "rule " + std::to_string(x.id) + " of group " + std::to_string(x.group) +
                ": this kelfd does not report all of it" +
                (rule_match_text(x).empty() ? "" : " (match: " + rule_match_text(x) + ")"));
            continue;
        }
        out.push_back(as_matched(x));
    }
    return out;
}

}  // namespace kelfctl
