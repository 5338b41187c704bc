// The rule object: add, show, list, stats, delete, flush.
#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "config.h"
#include "distribution.h"
#include "objects.h"
#include "readback.h"
#include "rule.h"
#include "rule_ops.h"
#include "staging.h"

namespace kelfctl {
namespace {

const char kRuleHelp[] =
    R"(Usage: kelfctl rule add [group G] [id N] ACTION [SET ...] [MATCH ...] [comment TEXT]
       kelfctl rule show [group G] [id N] [-d] [-s]
       kelfctl rule list [group G] [-d] [-s]
       kelfctl rule stats [group G] [id N]
       kelfctl rule delete [group G] id N
       kelfctl rule flush
       kelfctl rule help

ACTION := { drop | permit | redirect PORT | redirect mcast NAME | lbg GROUP |
            mirror MIRROR | rewrite }
SET    := { set-vlan VLAN | set-vlan-priority 0-7 | set-switch-priority 0-15 |
            set-user-bits 0-15 }
MATCH  := { in-port PORT | src-mac MAC | dst-mac MAC | ethertype TYPE | vlan 1-4095 |
            vlan-tag TAG | src-ip ADDR[/PREFIX] | dst-ip ADDR[/PREFIX] | protocol PROTO |
            sport L4 | dport L4 | mpls { unicast | multicast } |
            mpls-header VALUE[/MASK] }
L4     := { PORT | PORT/MASK | LO-HI }
TAG    := { untagged | tagged | user-a | user-b | vlan1 | vlan2 | only-vlan1 |
            only-vlan2 | vlan1-vlan2 | vlan2-untagged }

Each unit holds 32 groups of rules (0 to 31, default 0), 4096 rules each.
Without id, kelfd chooses the rule's id and `rule add` prints it.
PORT (in-port, redirect) is a port of the unit: 1 to 48, and for in-port also
the internal ports 50000 to 50003; redirect mcast NAME (or a multicast
group's port) sends to a multicast group, lbg GROUP takes a number or name.
A mirror rule matches frames of every port
and takes no in-port: `mirror add MIRROR ports PORTS` chooses the ports a
mirror copies from. ADDR is IPv4 or IPv6, with a prefix length or a mask;
bits past the mask are cleared with a warning, since the switch compares
only the masked bits. 0.0.0.0/N (N 1 to 31) matches its block of
addresses; 0.0.0.0/32 cannot be sent (kelfd takes address 0 as no condition).
A port range LO-HI becomes the fewest value/mask rules that cover it exactly
(1024-65535 is six rules; sport and dport ranges multiply): `rule add` says
how many rules it added and their ids, and with id N they take N, N+1 ...
TYPE and PROTO take names (ipv4, arp, ipv6, lldp ...; tcp, udp, icmp ...) or
numbers. Numbers are decimal or hexadecimal with 0x. A VLAN priority has 3
bits (0 to 7), a switch priority and the user bits 4. set-user-bits replaces
every other action; a mirror rule takes no SET. comment TEXT gives the rule
a label that kelfd keeps and every listing shows.
Before sending, add checks the unit, the ports, that the group has room and
the id is free, and that the lbg or mirror it names exists (--force adds it
anyway, and lets redirect name any logical port); a rule that matches and
acts like one the group holds is added with a warning. A failed add leaves
none of its rules behind.
show, list, stats and delete cover every group unless group is given (an id
held by several groups needs group). `rule` alone lists; show is list.
Listings are in the order that decides: group, then id.
-s adds the frames each rule has counted. -d prints each rule as the
`rule add` line that recreates it, after the lines that make the groups,
mirrors and multicast groups it uses: `kelfctl rule list -d > rules.kel`
exports a rule set and `kelfctl -b rules.kel` imports it into a fresh kelfd.
`kelfctl save` writes the whole configuration. flush removes every rule of
the unit.
)";

// The words after show, list, stats and delete: [group G] [id N].
struct Which {
    std::optional<int> group;
    std::optional<std::int64_t> id;
    std::vector<int> groups() const {
        if (group) return {*group};
        return all_groups();
    }
};

Which which(Args &a, bool ids) {
    static const std::vector<Choice> with_id = {{"group"}, {"id"}};
    static const std::vector<Choice> without = {{"group"}};
    Which w;
    while (!a.done()) {
        std::string_view kw = a.keyword(ids ? with_id : without, "keyword");
        if (kw == "group") {
            if (w.group) usage("group given twice");
            w.group = static_cast<int>(a.number("group", 0, KEL_MAX_GROUPS - 1));
        } else {
            if (w.id) usage("id given twice");
            w.id = a.number("id", 1, 0xFFFFFF);
        }
    }
    return w;
}

// The group of rule `id`: the one given, or the only one that holds it.
int group_of(Session &s, const Which &w) {
    std::string id = std::to_string(*w.id);
    if (w.group) {
        if (!query_rule(s, *w.group, *w.id))
            refused("group " + std::to_string(*w.group) + " of unit " + std::to_string(s.unit) +
                    " holds no rule " + id);
        return *w.group;
    }
    std::vector<int> g = groups_with_rule(s, *w.id);
    if (g.empty()) refused("no group of unit " + std::to_string(s.unit) + " holds rule " + id);
    if (g.size() > 1) {
        std::string list;
        for (int x : g) list += (list.empty() ? "" : ", ") + std::to_string(x);
        usage("rule " + id + " is in groups " + list + ": say which with group G");
    }
    return g[0];
}

std::uint64_t counter(Session &s, int group, std::int64_t id) {
    kel_rule_stat_t st = read_rule_counter(s, group, id);
    if (st.ret_val != 0)
        refused("cannot read the counter of rule " + std::to_string(id) + " in group " +
                std::to_string(group) + " (status " + std::to_string(st.ret_val) + ")");
    return st.kel_rule_stat_cnt.counter;
}

// Checks a rule against what the unit has before anything is sent.
void check_rule(Session &s, const RuleDef &r, const std::vector<RuleDef> &expanded) {
    if (r.in_port != 0 && !port_in(PortFamily::RuleIn, r.in_port))
        bad_port("in-port PORT", r.in_port, s.unit, PortFamily::RuleIn);
    // A multicast group's logical port is no card port, but a target all the same.
    if (r.action == RuleDef::Action::Redirect && !s.force && !port_in(PortFamily::Card, r.target) &&
        r.mcast.empty() && !mcast_at_port(s, r.target))
        bad_port("redirect PORT", r.target, s.unit, PortFamily::Card);
    if (r.id != 0 && r.id + static_cast<std::int64_t>(expanded.size()) - 1 > 0xFFFFFF)
        usage("id " + std::to_string(r.id) + ": the " + std::to_string(expanded.size()) +
              " rules of this range need ids up to " +
              std::to_string(r.id + static_cast<std::int64_t>(expanded.size()) - 1) +
              ", past 16777215");
    const std::string unit = " of unit " + std::to_string(s.unit);
    if (!s.force && (r.action == RuleDef::Action::Lbg || r.action == RuleDef::Action::Mirror)) {
        bool lbg = r.action == RuleDef::Action::Lbg;
        Listed l = lbg ? lbg_numbers(s) : mirror_numbers(s);
        bool found = std::find(l.numbers.begin(), l.numbers.end(), r.target) != l.numbers.end();
        std::string what = (lbg ? "load-balancing group " : "mirror ") + std::to_string(r.target);
        if (!found && l.whole)
            refused("cannot add the rule: " + what + " does not exist on unit " +
                    std::to_string(s.unit) + " (create it with `kelfctl " +
                    (lbg ? "lbg add PORTS" : "mirror add " + std::to_string(r.target)) +
                    "`, or --force adds the rule anyway)");
        if (!found)
            s.err() << "kelfctl: warning: kelfd lists only 16 " << (lbg ? "groups" : "mirrors")
                    << "; cannot tell whether " << what << " exists\n";
    }
    std::vector<RuleDef> &held = group_rules(s, r.group);
    const std::string group = "group " + std::to_string(r.group) + unit;
    if (held.size() + expanded.size() > KEL_MAX_RULES)
        refused("cannot add " +
                std::string(expanded.size() == 1 ? "the rule"
                                                 : std::to_string(expanded.size()) + " rules") +
                ": " + group + " holds " + std::to_string(held.size()) + " of its " +
                std::to_string(KEL_MAX_RULES) + " rules");
    if (r.id != 0)
        for (const RuleDef &x : expanded)
            for (const RuleDef &h : held)
                if (h.id == x.id)
                    refused("cannot add the rule: id " + std::to_string(x.id) + " is in use in " +
                            group);
    // Compared by what kelfd reports of a rule, through a table of the
    // group's rules: a batch of thousands stays linear.
    auto &keys = group_keys(s, r.group);
    for (const RuleDef &x : expanded) {
        auto k = keys.find(rule_key(held_form(s, x)));
        if (k != keys.end())
            s.err() << "kelfctl: warning: rule " << k->second << " of group " << r.group
                    << " already matches and acts the same\n";
    }
}

void remove_rule(Session &s, int group, std::int64_t id) {
    std::int32_t st = send_rule_remove(s, group, id);
    held_remove(s, group, id);
    if (st < 0)
        refused("cannot delete rule " + std::to_string(id) + " of group " + std::to_string(group) +
                ": kelfd could not take it out of the switch (" + std::string(kKelfdLogsWhy) + ")");
}

void rule_add(Session &s, Args &a) {
    std::vector<std::string> warnings;
    RuleDef r = parse_rule(a, &warnings);
    check_new_rule(r);
    // Groups named by their names: kelfd's labels say which numbers.
    if (r.action == RuleDef::Action::Lbg && !r.lbg.empty()) r.target = lbg_named(s, r.lbg);
    if (r.action == RuleDef::Action::Redirect && !r.mcast.empty()) {
        int g = mcast_named(s, r.mcast);
        r.target = s.value(read_mcast_port(s, g), "read the port of multicast group " + r.mcast);
    }
    for (const auto &w : warnings) s.err() << "kelfctl: warning: " << w << "\n";
    std::vector<RuleDef> rules = expand_rule(r);
    check_rule(s, r, rules);
    std::vector<std::int64_t> ids;
    // The rules of a range take force together.
    std::optional<Staging> staging;
    if (rules.size() > 1)
        staging.emplace(s, "this add of " + std::to_string(rules.size()) + " rules");
    const bool whole = staging && staging->atomic() && staging->outermost();
    for (RuleDef &x : rules) {
        std::int32_t id = send_rule(s, x);
        if (id < 0) {
            // Nothing of a refused add stays behind: not staged, or taken out.
            if (!whole)
                for (std::int64_t done : ids) try {
                        remove_rule(s, r.group, done);
                    } catch (const Failure &f) {
                        s.err() << "kelfctl: " << f.what() << "\n";
                    }
            std::string which = rules.size() == 1 ? "the rule"
                                                  : "rule " + std::to_string(ids.size() + 1) +
                                                        " of " + std::to_string(rules.size());
            refused("kelfd refused " + which + " in group " + std::to_string(r.group) +
                    " of unit " + std::to_string(s.unit) + ": the switch did not take it (" +
                    kKelfdLogsWhy + ")" +
                    (ids.empty() ? ""
                     : whole     ? "; none of the " + std::to_string(rules.size()) + " took force"
                                 : "; the " + std::to_string(ids.size()) +
                                   " added before it are removed again"));
        }
        x.id = id;
        ids.push_back(id);
        held_add(s, x);
    }
    if (staging) staging->commit_all();
    // A label names a rule in force: given once the rules took force.
    if (!r.comment.empty())
        for (std::int64_t id : ids)
            if (!send_label(s, KEL_X_LABEL_RULE, r.group, id, r.comment)) {
                s.err() << "kelfctl: warning: this kelfd keeps no comments; the rule has none\n";
                break;
            }
    s.print(print_rules_added(r.group, ids, rule_match_text(r)));
}

// Rules with their counters when -s asks for them.
std::vector<RuleCounter> counters_of(Session &s, const std::vector<RuleDef> &rules) {
    std::vector<RuleCounter> c;
    for (const RuleDef &r : rules) c.push_back({r.group, r.id, counter(s, r.group, r.id)});
    return c;
}

// The names of the groups rules send traffic to, where they have one.
void name_targets(Session &s, std::vector<HeldRule> &held) {
    auto any = [&](RuleDef::Action act) {
        return std::any_of(held.begin(), held.end(),
                           [&](const HeldRule &h) { return h.def.action == act; });
    };
    if (any(RuleDef::Action::Lbg))
        if (auto lbgs = read_back_lbgs(s))
            for (HeldRule &h : held)
                for (const HeldLbg &l : *lbgs)
                    if (h.def.action == RuleDef::Action::Lbg && h.def.target == l.number)
                        h.def.lbg = l.name;
    if (any(RuleDef::Action::Redirect))
        if (auto mcasts = read_back_mcasts(s))
            for (HeldRule &h : held)
                for (const HeldMcast &m : *mcasts)
                    if (h.def.action == RuleDef::Action::Redirect && h.def.target == m.port &&
                        !port_in(PortFamily::Card, m.port))
                        h.def.mcast = m.name.empty() ? std::to_string(m.number) : m.name;
}

// `rule list -d`: lines that recreate the rules in a fresh kelfd, with
// the groups and mirrors they send traffic to made first, by name.
void print_export(Session &s, std::vector<RuleDef> rules,
                  const std::optional<std::vector<RuleCounter>> &c) {
    std::string text;
    std::set<int> lbg_used, mirror_used;
    std::set<std::string> mcast_used;
    for (RuleDef &r : rules) {
        if (r.action == RuleDef::Action::Mirror) r.in_port = 0;  // as the switch matches it
        if (r.action == RuleDef::Action::Lbg) {
            lbg_used.insert(r.target);
            if (r.lbg.empty()) r.lbg = "lbg" + std::to_string(r.target);
        }
        if (r.action == RuleDef::Action::Mirror) mirror_used.insert(r.target);
        if (!r.mcast.empty() && r.mcast[0] >= '0' && r.mcast[0] <= '9') r.mcast = "mcast" + r.mcast;
        if (!r.mcast.empty()) mcast_used.insert(r.mcast);
    }
    if (!lbg_used.empty())
        for (const HeldLbg &l : read_back_lbgs(s).value_or(std::vector<HeldLbg>{}))
            if (lbg_used.count(l.number)) {
                if (l.ports.empty()) {
                    s.err() << "kelfctl: warning: load-balancing group " << l.number
                            << " has bins no list of ports gives; its line is left out\n";
                    continue;
                }
                text += "lbg add " + (l.name.empty() ? "lbg" + std::to_string(l.number) : l.name) +
                        " ports " + format_port_list(l.ports, false) + "\n";
            }
    if (!mirror_used.empty())
        for (const HeldMirror &m : read_back_mirrors(s).value_or(std::vector<HeldMirror>{}))
            if (mirror_used.count(m.number)) {
                text += "mirror add " + std::to_string(m.number) +
                        (m.ports.empty() ? "" : " ports " + format_port_list(m.ports)) + "\n";
                if (m.vlan > 0)
                    text += "mirror vlan " + std::to_string(m.number) + " " +
                            std::to_string(m.vlan) + "\n";
            }
    if (!mcast_used.empty())
        for (const HeldMcast &m : read_back_mcasts(s).value_or(std::vector<HeldMcast>{})) {
            std::string name = m.name.empty() ? "mcast" + std::to_string(m.number) : m.name;
            if (!mcast_used.count(name)) continue;
            text += "mcast add " + name + "\n";
            for (auto [p, v] : m.listeners)
                text += "mcast add-listener " + name + " port " + std::to_string(p) + " vlan " +
                        std::to_string(v) + "\n";
        }
    Output o = print_rules(rules, true, c, s.json);
    o.text = text + o.text;
    s.print(o);
}

// The rules kelfd reads back whole, in the order that decides, with their
// counters when asked and the names of the groups they send to.
std::optional<std::vector<HeldRule>> held_rules(Session &s, const Which &w, bool counters) {
    if (!have_read_back(s)) return std::nullopt;
    auto held = read_back_rules(s, w.group.value_or(0), w.group.has_value(), counters);
    if (!held) return std::nullopt;
    if (w.id) {
        std::erase_if(*held, [&](const HeldRule &h) { return h.def.id != *w.id; });
        std::string id = std::to_string(*w.id);
        if (held->empty())
            refused((w.group ? "group " + std::to_string(*w.group) : std::string("no group")) +
                    " of unit " + std::to_string(s.unit) +
                    (w.group ? " holds no rule " : " holds rule ") + id);
        if (held->size() > 1) {
            std::string list;
            for (const HeldRule &h : *held)
                list += (list.empty() ? "" : ", ") + std::to_string(h.def.group);
            usage("rule " + id + " is in groups " + list + ": say which with group G");
        }
    }
    name_targets(s, *held);
    return held;
}

void rule_list(Session &s, Args &a) {
    Which w = which(a, true);
    std::vector<RuleDef> rules;
    std::optional<std::vector<RuleCounter>> c;
    // An export leaves out nothing in silence: a rule it cannot read back
    // or write as a `rule add` line is named, and the exit status says so.
    std::vector<std::string> missing;
    if (auto held = held_rules(s, w, s.stats)) {
        if (s.stats) c.emplace();
        for (HeldRule &h : *held) {
            if (c) c->push_back({h.def.group, h.def.id, h.frames.value_or(0)});
            rules.push_back(std::move(h.def));
        }
    } else if (w.id) {
        int g = group_of(s, w);
        rules.push_back(*query_rule(s, g, *w.id));
    } else {
        rules = read_rules(s, w.groups(), s.details ? &missing : nullptr);
    }
    for (const RuleDef &r : rules)
        if (r.action == RuleDef::Action::Mirror && r.in_port != 0)
            s.err() << "kelfctl: warning: rule " << r.id << " of group " << r.group
                    << " holds in-port " << r.in_port
                    << ", which the switch does not match: " << kMirrorInPort
                    << (s.details ? "; exported without it" : "") << "\n";
    if (s.details) {
        if (have_read_back(s)) {
            print_export(s, rules, c);
            return;
        }
        rules = export_forms(s, rules, &missing);
    }
    if (s.stats && !c) c = counters_of(s, rules);
    s.print(print_rules(rules, s.details, c, s.json));
    for (const auto &m : missing) s.err() << "kelfctl: not exported: " << m << "\n";
    if (!missing.empty()) {
        Failure f(kExitRefused, std::to_string(missing.size()) +
                                    (missing.size() == 1 ? " rule is" : " rules are") +
                                    " not exported");
        f.printed = true;
        throw f;
    }
}

void rule_stats(Session &s, Args &a) {
    Which w = which(a, true);
    std::vector<RuleCounter> c;
    if (w.id && !have_read_back(s)) {
        int g = group_of(s, w);
        c.push_back({g, *w.id, counter(s, g, *w.id)});
    } else if (auto held = held_rules(s, w, true)) {
        for (const HeldRule &h : *held) c.push_back({h.def.group, h.def.id, h.frames.value_or(0)});
    } else {
        c = counters_of(s, read_rules(s, w.groups()));
    }
    s.print(print_rule_counters(c));
}

void rule_delete(Session &s, Args &a) {
    Which w = which(a, true);
    if (!w.id) usage("rule delete needs id N");
    // kelfd answers 0 for an id it does not hold: a typo would pass unseen.
    int group = group_of(s, w);
    remove_rule(s, group, *w.id);
    s.print_ok();
}

void rule_flush(Session &s, Args &a) {
    a.finish();
    s.value(send_rule_clear(s), "remove the rules of unit " + std::to_string(s.unit));
    s.print_ok();
}

}  // namespace

std::vector<Object> rule_objects() {
    return {{"rule",
             nullptr,
             "packet-classification rules",
             kRuleHelp,
             rule_list,
             {{"add", nullptr, rule_add},
              {"show", nullptr, rule_list},
              {"list", "ls", rule_list},
              {"stats", nullptr, rule_stats},
              {"delete", "del", rule_delete},
              {"flush", nullptr, rule_flush}}}};
}

}  // namespace kelfctl
