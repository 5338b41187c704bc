#include "state.h"

#include <algorithm>
#include <map>
#include <set>

namespace kelfctl {

std::vector<int> rule_ids(Session &s, int group) {
    if_kel_t k = s.kel(KEL_ENTRY_QUERY_LIST);
    k.group = group;
    kel_query_list_t q;
    s.record(&k, sizeof k, &q, sizeof q);
    if (q.ret != 0)
        refused("cannot list the rules of group " + std::to_string(group) + " of unit " +
                std::to_string(s.unit) + ": kelfd refused the request");
    if (q.kel_id_list.rule_num > KEL_MAX_RULES)
        refused("kelfd listed " + std::to_string(q.kel_id_list.rule_num) + " rules in group " +
                std::to_string(group) + ", more than a group holds");
    std::vector<int> ids;
    for (std::uint32_t i = 0; i < q.kel_id_list.rule_num; ++i) ids.push_back(q.kel_id_list.id_list[i]);
    return ids;
}

std::optional<RuleDef> query_rule(Session &s, int group, std::int64_t id) {
    if_kel_t k = rule_query(s.unit, group, id);
    kel_query_rule_t q;
    s.record(&k, sizeof k, &q, sizeof q);
    if (q.ret != 0)
        refused("cannot read rule " + std::to_string(id) + " of group " + std::to_string(group) +
                ": kelfd refused the request");
    return rule_from_query(q, group, id);
}

std::vector<RuleDef> read_rules(Session &s, const std::vector<int> &groups) {
    std::vector<RuleDef> out;
    for (int g : groups) {
        // The list carries the low 16 bits of each id: an id above 65535 is
        // found by asking for the ids with the same low bits, lowest first,
        // that this listing has not shown yet.
        std::set<std::int64_t> seen;
        std::vector<RuleDef> group;
        for (int low : rule_ids(s, g)) {
            std::optional<RuleDef> r;
            for (std::int64_t id = low; id <= 0xFFFFFF && !r; id += 0x10000)
                if (!seen.count(id)) r = query_rule(s, g, id);
            if (r) {
                seen.insert(r->id);
                group.push_back(*r);
            } else {
                s.err() << "kelfctl: rule " << low << " of group " << g
                        << " is listed but cannot be read (removed meanwhile?)\n";
            }
        }
        s.cache[s.unit].rules[g] = group;
        s.cache[s.unit].keys.erase(g);
        out.insert(out.end(), group.begin(), group.end());
    }
    return out;
}

std::vector<RuleDef> &group_rules(Session &s, int group) {
    auto &c = s.cache[s.unit].rules;
    if (!c.count(group)) read_rules(s, {group});
    return c[group];
}

std::string rule_key(const RuleDef &r) {
    RuleDef x = reported_form(r);
    return rule_action_text(x) + "|" + rule_match_text(x);
}

std::unordered_map<std::string, std::int64_t> &group_keys(Session &s, int group) {
    auto &c = s.cache[s.unit];
    std::vector<RuleDef> &held = group_rules(s, group);
    auto it = c.keys.find(group);
    if (it != c.keys.end()) return it->second;
    auto &k = c.keys[group];
    for (const RuleDef &r : held) k.emplace(rule_key(r), r.id);
    return k;
}

void held_add(Session &s, const RuleDef &r) {
    auto &c = s.cache[s.unit];
    RuleDef x = reported_form(r);
    c.rules[r.group].push_back(x);
    auto k = c.keys.find(r.group);
    if (k != c.keys.end()) k->second.emplace(rule_key(x), x.id);
}

void held_remove(Session &s, int group, std::int64_t id) {
    auto &c = s.cache[s.unit];
    auto g = c.rules.find(group);
    if (g == c.rules.end()) return;
    std::erase_if(g->second, [&](const RuleDef &r) { return r.id == id; });
    c.keys.erase(group);  // rebuilt when next needed
}

std::vector<int> groups_with_rule(Session &s, std::int64_t id) {
    std::vector<int> found;
    auto &held = s.cache[s.unit].rules;
    for (int g = 0; g < KEL_MAX_GROUPS; ++g) {
        // A group the session holds is searched without asking kelfd again.
        if (auto h = held.find(g); h != held.end()) {
            if (std::any_of(h->second.begin(), h->second.end(), [&](const RuleDef &r) { return r.id == id; }))
                found.push_back(g);
            continue;
        }
        std::vector<int> ids = rule_ids(s, g);
        if (std::find(ids.begin(), ids.end(), static_cast<int>(id & 0xFFFF)) == ids.end()) continue;
        if (query_rule(s, g, id)) found.push_back(g);
    }
    return found;
}

namespace {

Listed list_reply(Session &s, int code, const char *what) {
    if_kel_lbg_t l = s.lbg(code);
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    if (q.ret != 0) refused(std::string("cannot list the ") + what + " of unit " + std::to_string(s.unit) +
                            ": kelfd refused the request");
    int n = std::max(int{q.kel_lbg_list.lbg_num}, 0);
    Listed r;
    for (int i = 0; i < std::min(n, KEL_REPLY_LIST_MAX); ++i) r.numbers.push_back(q.kel_lbg_list.lbg_list[i]);
    // The mirror list counts every mirror; the group list stops at 16.
    r.whole = n < KEL_REPLY_LIST_MAX;
    return r;
}

}  // namespace

Listed lbg_numbers(Session &s) {
    auto &c = s.cache[s.unit];
    if (!c.lbgs) {
        Listed l = list_reply(s, KEL_LBG_QUERY_LIST, "load-balancing groups");
        c.lbgs = l.numbers;
        c.lbgs_whole = l.whole;
    }
    return {*c.lbgs, c.lbgs_whole};
}

Listed mirror_numbers(Session &s) {
    auto &c = s.cache[s.unit];
    if (!c.mirrors) {
        Listed l = list_reply(s, KEL_MIR_QUERY_LIST, "mirrors");
        if (!l.whole)
            s.err() << "kelfctl: kelfd reports 16 of the unit's mirrors; the others are not shown\n";
        c.mirrors = l.numbers;
        c.mirrors_whole = l.whole;
    }
    return {*c.mirrors, c.mirrors_whole};
}

void forget_lbgs(Session &s) { s.cache[s.unit].lbgs.reset(); }
void forget_mirrors(Session &s) { s.cache[s.unit].mirrors.reset(); }

std::vector<RuleRef> rules_using(Session &s, RuleDef::Action action, int target) {
    // Through the session's copy of each group: a batch reads them once.
    std::vector<RuleRef> refs;
    for (int g = 0; g < KEL_MAX_GROUPS; ++g)
        for (const RuleDef &r : group_rules(s, g))
            if (r.action == action && r.target == target) refs.push_back({r.group, r.id});
    return refs;
}

std::string format_refs(const std::vector<RuleRef> &refs) {
    std::map<int, std::string> by_group;
    for (const auto &r : refs) {
        std::string &t = by_group[r.group];
        t += (t.empty() ? "" : ", ") + std::to_string(r.id);
    }
    std::string out;
    for (const auto &[g, ids] : by_group) out += (out.empty() ? "" : "; ") + ("group " + std::to_string(g) + ": " + ids);
    return out;
}

void set_bits(std::uint8_t *set, const std::vector<int> &ports) {
    for (int p : ports) set[p / 8] = static_cast<std::uint8_t>(set[p / 8] | (1u << (p % 8)));
}

std::vector<int> read_mask(Session &s, int p) {
    if_kel_mask_t m = s.mask(KEL_GET_PORT_MASK);
    set_bits(m.mask.ingress, {p});
    kel_mask_t r;
    s.record(&m, sizeof m, &r, sizeof r);
    if (r.ret_val != 0) refused("cannot read the mask of port " + std::to_string(p) + ": kelfd refused");
    std::vector<int> egress;
    for (int q = 1; q <= kMaskPorts; ++q)
        if (r.egress[q / 8] & (1u << (q % 8))) egress.push_back(q);
    return egress;
}

kel_l2_hash_t get_l2(Session &s) {
    if_kel_t k = s.kel(KEL_GET_L2_HASH);
    kel_l2_hash_t h;
    s.record(&k, sizeof k, &h, sizeof h);
    return h;
}

kel_l3_hash_t get_l3(Session &s) {
    if_kel_t k = s.kel(KEL_GET_L3_HASH);
    kel_l3_hash_t h;
    s.record(&k, sizeof k, &h, sizeof h);
    return h;
}

std::pair<int, int> listener_words(Session &s, Args &a) {
    std::optional<int> port, vlan;
    while (!a.done()) {
        if (!port && a.accept("port")) port = s.port(a, "port PORT", PortFamily::Card);
        else if (!vlan && a.accept("vlan")) vlan = static_cast<int>(a.number("vlan VLAN", 1, 4095));
        else a.finish();
    }
    if (!port || !vlan) usage("add-listener needs port PORT and vlan VLAN");
    return {*port, *vlan};
}

}  // namespace kelfctl
