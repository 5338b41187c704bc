// The rule object in the configuration file: its lines, its part of the
// plan and of a saved file, and the export of `rule list -d`.
#include "file_parts.h"
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
    if (r.action == RuleDef::Action::Redirect && !port_in(PortFamily::Card, r.target))
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
        f.u.rules[key] = {x, lbg, n};
    }
}

void plan_rules(UnitPlan &up) {
    auto numbers = up.lbg_numbers;
    // A rule stays (at its id, in force) when kelfd holds it as the
    // record says, or, for a rule kelfd reports whole, as the file says.
    std::map<std::pair<int, std::int64_t>, RuleDef> held;
    for (const RuleDef &x : read_rules(up.s, all_groups())) held[{x.group, x.id}] = x;
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
        auto h = held.find(key);
        if (h != held.end() && !pending) {
            auto rr = up.r.rules.find(key);
            bool same = rr != up.r.rules.end() ? rr->second == w && same_rule(h->second, rr->second)
                                               : fully_reported(w) && same_rule(h->second, w);
            if (same) {
                ++up.plan.unchanged;
                continue;
            }
        }
        RuleDef def = fr.def;
        std::string lbg = fr.lbg;
        std::string text = file_rule_text(def, lbg);
        auto send = [def, lbg, numbers, &rec = up.rec, unit = up.unit](Session &ss) {
            RuleDef x = def;
            if (x.action == RuleDef::Action::Lbg) x.target = numbers->at(lbg);
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
    std::vector<RuleDef> held = read_rules(u.s, all_groups(), &unreadable);
    for (const auto &w : unreadable) u.missing.push_back(u.unit_prefix + w);
    for (const RuleDef &x : held) {
        std::string id =
            u.unit_prefix + "rule " + std::to_string(x.id) + " of group " + std::to_string(x.group);
        auto rr = u.r.rules.find({x.group, x.id});
        if (rr == u.r.rules.end() || !same_rule(x, rr->second)) {
            u.missing.push_back(
                id + " (kelfd reports: " + rule_command(x) +
                "): not as kelfctl apply left it, and kelfd does not report vlan-tag, "
                "set-vlan, set-vlan-priority or set-user-bits");
            continue;
        }
        const RuleDef &full = rr->second;
        if (full.action == RuleDef::Action::Lbg && !u.lbg_name.count(full.target)) {
            u.missing.push_back(id + ": its load-balancing group " + std::to_string(full.target) +
                                " is not described");
            continue;
        }
        if (full.action == RuleDef::Action::Mirror && !u.mirrors.count(full.target)) {
            u.missing.push_back(id + ": its mirror " + std::to_string(full.target) +
                                " is not described");
            continue;
        }
        if (full.action == RuleDef::Action::Mirror && full.in_port != 0)
            u.s.err() << "kelfctl: warning: " << id << " is saved without its in-port "
                      << full.in_port << ": " << kMirrorInPort << "\n";
        u.text += file_rule_text(as_matched(full),
                                 u.lbg_name.count(full.target) ? u.lbg_name[full.target] : "") +
                  "\n";
    }
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
                out.push_back(as_matched(it->second));
                continue;
            }
        }
        if (x.action == RuleDef::Action::Unreported) {
            missing->push_back(
                "rule " + std::to_string(x.id) + " of group " + std::to_string(x.group) +
                ": kelfd does not report its action" +
                (rule_match_text(x).empty() ? "" : " (match: " + rule_match_text(x) + ")"));
            continue;
        }
        out.push_back(as_matched(x));
    }
    return out;
}

}  // namespace kelfctl
