// The rule object: add, show, list, stats, delete, flush.
#include <cstring>
#include <set>

#include "objects.h"
#include "print.h"
#include "rule.h"

namespace kelfctl {
namespace {

const char kRuleHelp[] = R"(Usage: kelfctl rule add [group G] [id N] ACTION [SET ...] [MATCH ...]
       kelfctl rule show [group G] [id N]
       kelfctl rule list [group G] [-d]
       kelfctl rule stats [group G] [id N]
       kelfctl rule delete [group G] id N
       kelfctl rule flush
       kelfctl rule help

ACTION := { drop | permit | redirect PORT | lbg GROUP | mirror MIRROR | rewrite }
SET    := { set-vlan VLAN | set-vlan-priority 0-15 | set-switch-priority 0-15 |
            set-user-bits 0-15 }
MATCH  := { in-port PORT | src-mac MAC | dst-mac MAC | ethertype TYPE | vlan 1-4095 |
            vlan-tag TAG | src-ip ADDR[/PREFIX] | dst-ip ADDR[/PREFIX] | protocol PROTO |
            sport PORT[/MASK] | dport PORT[/MASK] | mpls { unicast | multicast } |
            mpls-header VALUE[/MASK] }
TAG    := { untagged | tagged | user-a | user-b | vlan1 | vlan2 | only-vlan1 |
            only-vlan2 | vlan1-vlan2 | vlan2-untagged }

Each unit holds 32 groups of rules (0 to 31, default 0), 4096 rules each.
Without id, kelfd chooses the rule's id and `rule add` prints it.
ADDR is IPv4 or IPv6, with a prefix length or a mask. TYPE and PROTO take
names (ipv4, arp, ipv6, lldp ...; tcp, udp, icmp ...) or numbers. Numbers
are decimal or hexadecimal with 0x. set-user-bits replaces every other
action; a mirror rule takes no SET.
show, list and stats cover every group unless group is given; `rule` alone
lists. `list -d` and `show` print each rule as the `rule add` line that
recreates it: `kelfctl rule list -d > rules.kel` exports a rule set and
`kelfctl -b rules.kel` imports it. kelfd does not report vlan-tag,
set-vlan, set-vlan-priority or set-user-bits: exported rules lack them,
and a rule whose action is not reported is exported as a comment. flush
removes every rule of the unit.
)";

// The words after show, list, stats and delete: [group G] [id N] [-d].
struct Which {
    std::optional<int> group;
    std::optional<std::int64_t> id;
    bool detail = false;
    std::vector<int> groups() const {
        if (group) return {*group};
        std::vector<int> all;
        for (int g = 0; g < KEL_MAX_GROUPS; ++g) all.push_back(g);
        return all;
    }
};

Which which(Args &a, bool ids, bool detail) {
    Which w;
    while (!a.done()) {
        if (!w.group && a.accept("group"))
            w.group = static_cast<int>(a.number("group", 0, KEL_MAX_GROUPS - 1));
        else if (ids && !w.id && a.accept("id"))
            w.id = a.number("id", 1, 0xFFFFFF);
        else if (detail && a.accept("-d", "--detail"))
            w.detail = true;
        else
            a.finish();
    }
    return w;
}

// Ids of one group in slot order (command 14). kelfd sends the low 16 bits.
std::vector<int> rule_ids(Session &s, int group) {
    if_kel_t k = s.kel(KEL_ENTRY_QUERY_LIST);
    k.group = group;
    kel_query_list_t q;
    s.record(&k, sizeof k, &q, sizeof q);
    if (q.ret != 0)
        refused("cannot list the rules of group " + std::to_string(group) +
                ": kelfd refused the request (is unit " + std::to_string(s.unit) + " up?)");
    if (q.kel_id_list.rule_num > KEL_MAX_RULES)
        refused("kelfd listed " + std::to_string(q.kel_id_list.rule_num) + " rules in group " +
                std::to_string(group) + ", more than a group holds");
    std::vector<int> ids;
    for (std::uint32_t i = 0; i < q.kel_id_list.rule_num; ++i) ids.push_back(q.kel_id_list.id_list[i]);
    return ids;
}

std::optional<RuleSpec> query(Session &s, int group, std::int64_t id) {
    if_kel_t k = rule_query(s.unit, group, id);
    kel_query_rule_t q;
    s.record(&k, sizeof k, &q, sizeof q);
    if (q.ret != 0)
        refused("cannot read rule " + std::to_string(id) + " of group " + std::to_string(group) +
                ": kelfd refused the request (is unit " + std::to_string(s.unit) + " up?)");
    return rule_from_query(q, group, id);
}

RuleSpec must_query(Session &s, int group, std::int64_t id) {
    auto r = query(s, group, id);
    if (!r) refused("group " + std::to_string(group) + " holds no rule " + std::to_string(id));
    return *r;
}

std::vector<RuleSpec> all_rules(Session &s, const std::vector<int> &groups) {
    std::vector<RuleSpec> out;
    for (int g : groups) {
        // The list carries the low 16 bits of each id: an id above 65535 is
        // found by asking for the ids with the same low bits, lowest first,
        // that this listing has not shown yet.
        std::set<std::int64_t> seen;
        for (int low : rule_ids(s, g)) {
            std::optional<RuleSpec> r;
            for (std::int64_t id = low; id <= 0xFFFFFF && !r; id += 0x10000)
                if (!seen.count(id)) r = query(s, g, id);
            if (r) {
                seen.insert(r->id);
                out.push_back(*r);
            } else {
                s.err() << "kelfctl: rule " << low << " of group " << g
                        << " is listed but cannot be read (removed meanwhile?)\n";
            }
        }
    }
    return out;
}

void rule_add(Session &s, Args &a) {
    RuleSpec r = parse_rule(a);
    int code;
    if_kel_t k = rule_request(r, s.unit, &code);
    std::int32_t id = s.status(k);
    if (id < 0)
        refused("kelfd refused the rule (reply " + std::to_string(id) +
                "): the unit is not up, the group is full, the id is in use, or the switch "
                "refused it; kelfd's output says which");
    s.print(print_rule_added(r.group, id));
}

void rule_show(Session &s, Args &a) {
    Which w = which(a, true, false);
    if (w.id) s.print(print_rules({must_query(s, w.group.value_or(0), *w.id)}, true));
    else s.print(print_rules(all_rules(s, w.groups()), true));
}

void rule_list(Session &s, Args &a) {
    Which w = which(a, false, true);
    s.print(print_rules(all_rules(s, w.groups()), w.detail));
}

std::uint64_t counter(Session &s, int group, std::int64_t id) {
    if_kel_t k = s.kel(KEL_GET_CNT);
    k.kel_mem.group = group;
    k.rule_id = static_cast<std::int32_t>(id);
    kel_rule_stat_t st;
    s.record(&k, sizeof k, &st, sizeof st);
    if (st.ret_val != 0)
        refused("cannot read the counter of rule " + std::to_string(id) + " in group " +
                std::to_string(group) + " (status " + std::to_string(st.ret_val) + ")");
    return st.kel_rule_stat_cnt.counter;
}

void rule_stats(Session &s, Args &a) {
    Which w = which(a, true, false);
    std::vector<RuleCounter> c;
    if (w.id) {
        // kelfd counts 0 for an id it does not hold: ask first.
        int g = w.group.value_or(0);
        must_query(s, g, *w.id);
        c.push_back({g, *w.id, counter(s, g, *w.id)});
    } else {
        for (const RuleSpec &r : all_rules(s, w.groups())) c.push_back({r.group, r.id, counter(s, r.group, r.id)});
    }
    s.print(print_rule_counters(c));
}

void rule_delete(Session &s, Args &a) {
    Which w = which(a, true, false);
    int group = w.group.value_or(0);
    auto id = w.id;
    if (!id) usage("rule delete needs id N");
    // kelfd answers 0 for an id it does not hold: a typo would pass unseen.
    must_query(s, group, *id);
    if_kel_t k = s.kel(KEL_ENTRY_REMOVE);
    k.rule_id = static_cast<std::int32_t>(*id);
    k.group = group;
    s.value(s.status(k), "delete rule " + std::to_string(*id) + " of group " + std::to_string(group));
    s.print_ok();
}

void rule_flush(Session &s, Args &a) {
    a.finish();
    if_kel_t k = s.kel(KEL_CLEAR);
    s.value(s.status(k), "remove the rules of unit " + std::to_string(s.unit));
    s.print_ok();
}

}  // namespace

std::vector<Object> rule_objects() {
    return {{"rule", nullptr, "packet-classification rules", kRuleHelp, rule_list,
             {{"add", nullptr, rule_add},
              {"show", nullptr, rule_show},
              {"list", "ls", rule_list},
              {"stats", nullptr, rule_stats},
              {"delete", "del", rule_delete},
              {"flush", nullptr, rule_flush}}}};
}

}  // namespace kelfctl
