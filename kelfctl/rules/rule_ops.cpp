// The rule object's requests and the session's copy of each group.
#include "rule_ops.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>

#include "readback.h"

namespace kelfctl {

namespace {

// The id kelfd will give an add that leaves the id to it, as kelfd chooses
// it (the next id above the last one handed out that the group does not
// hold), when the session follows the group's staged state; so that the add
// can travel with the others.
std::optional<std::int32_t> predicted_id(Session &s, int group) {
    std::array<int, KEL_MAX_GROUPS> *last = s.staged_auto_ids();
    if (last == nullptr || group < 0 || group >= KEL_MAX_GROUPS) return std::nullopt;
    Session::UnitCache &c = s.cache[s.unit];
    if (c.blind.count(group)) return std::nullopt;
    const std::vector<RuleDef> &held = group_rules(s, group);
    if (held.size() >= KEL_MAX_RULES) return std::nullopt;
    int &cur = (*last)[static_cast<std::size_t>(group)];
    auto [it, fresh] = c.ids.try_emplace(group);
    if (fresh)
        for (const RuleDef &h : held) it->second.insert(h.id);
    const std::unordered_set<std::int64_t> &ids = it->second;
    do {
        cur = cur >= 0xFFFF ? 1 : cur + 1;
    } while (ids.count(cur));
    return cur;
}

}  // namespace

std::int32_t send_rule(Session &s, const RuleDef &r) {
    int code;
    if_kel_t req = rule_request(r, s.unit, &code);
    if (r.id == 0)
        if (std::optional<std::int32_t> id = predicted_id(s, r.group))
            return s.status_expecting(req, *id);
    return s.status(req);
}

std::int32_t send_rule_remove(Session &s, int group, std::int64_t id) {
    if_kel_t k = s.kel(KEL_ENTRY_REMOVE);
    k.rule_id = static_cast<std::int32_t>(id);
    k.group = group;
    return s.status(k);
}

std::int32_t send_rule_clear(Session &s) {
    Session::UnitCache &c = s.cache[s.unit];
    c.rules.clear();
    c.keys.clear();
    c.ids.clear();
    std::int32_t st = s.status(s.kel(KEL_CLEAR));
    // Cleared, every group is known empty, also within a transaction.
    if (st == 0) {
        for (int g = 0; g < KEL_MAX_GROUPS; ++g) c.rules[g];
        c.blind.clear();
    }
    return st;
}

kel_rule_stat_t read_rule_counter(Session &s, int group, std::int64_t id) {
    if_kel_t k = s.kel(KEL_GET_CNT);
    k.kel_mem.group = group;
    k.rule_id = static_cast<std::int32_t>(id);
    kel_rule_stat_t st;
    s.record(&k, sizeof k, &st, sizeof st);
    return st;
}

std::vector<int> all_groups() {
    std::vector<int> g;
    for (int i = 0; i < KEL_MAX_GROUPS; ++i) g.push_back(i);
    return g;
}

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
    for (std::uint32_t i = 0; i < q.kel_id_list.rule_num; ++i)
        ids.push_back(q.kel_id_list.id_list[i]);
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

RuleDef held_form(Session &s, const RuleDef &r) {
    if (!have_read_back(s)) return reported_form(r);
    RuleDef x = r;
    x.comment.clear();
    x.mcast.clear();
    x.lbg.clear();
    x.lbg.clear();
    return x;
}

std::vector<RuleDef> read_rules(Session &s, const std::vector<int> &groups,
                                std::vector<std::string> *unreadable, bool keep) {
    std::vector<RuleDef> out;
    // Read back whole, many rules to a request: every group at once when
    // all are asked, else group by group.
    const bool all = groups == all_groups();
    if (have_read_back(s)) {
        for (std::size_t i = 0; i < (all ? 1 : groups.size()); ++i) {
            const int first = all ? 0 : groups[i];
            auto held = read_back_rules(s, first, !all, false);
            if (!held) break;
            std::map<int, std::vector<RuleDef>> by_group;
            if (all)
                for (int g = 0; g < KEL_MAX_GROUPS; ++g) by_group[g];
            else
                by_group[first];
            for (HeldRule &h : *held) by_group[h.def.group].push_back(std::move(h.def));
            for (auto &[g, rules] : by_group) {
                s.cache[s.unit].keys.erase(g);
                s.cache[s.unit].ids.erase(g);
                if (!keep) {
                    s.cache[s.unit].rules.erase(g);
                    std::move(rules.begin(), rules.end(), std::back_inserter(out));
                    continue;
                }
                out.insert(out.end(), rules.begin(), rules.end());
                s.cache[s.unit].rules[g] = std::move(rules);
            }
        }
        return out;
    }
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
                std::string what = "rule " + std::to_string(low) + " of group " +
                                   std::to_string(g) +
                                   " is listed but cannot be read (removed meanwhile?)";
                if (unreadable != nullptr)
                    unreadable->push_back(what);
                else
                    s.err() << "kelfctl: " << what << "\n";
            }
        }
        // Listed in the order that decides: by id.
        std::stable_sort(group.begin(), group.end(),
                         [](const RuleDef &x, const RuleDef &y) { return x.id < y.id; });
        s.cache[s.unit].rules[g] = group;
        s.cache[s.unit].keys.erase(g);
        s.cache[s.unit].ids.erase(g);
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
    RuleDef x = r;
    x.comment.clear();
    x.mcast.clear();
    x.lbg.clear();
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
    RuleDef x = held_form(s, r);
    c.rules[r.group].push_back(x);
    auto k = c.keys.find(r.group);
    if (k != c.keys.end()) k->second.emplace(rule_key(x), x.id);
    auto i = c.ids.find(r.group);
    if (i != c.ids.end()) i->second.insert(x.id);
}

void held_remove(Session &s, int group, std::int64_t id) {
    auto &c = s.cache[s.unit];
    auto g = c.rules.find(group);
    if (g == c.rules.end()) return;
    std::erase_if(g->second, [&](const RuleDef &r) { return r.id == id; });
    c.keys.erase(group);  // rebuilt when next needed
    auto i = c.ids.find(group);
    if (i != c.ids.end()) i->second.erase(id);
}

std::vector<int> groups_with_rule(Session &s, std::int64_t id) {
    std::vector<int> found;
    auto &held = s.cache[s.unit].rules;
    for (int g = 0; g < KEL_MAX_GROUPS; ++g) {
        // A group the session holds is searched without asking kelfd again.
        if (auto h = held.find(g); h != held.end()) {
            if (std::any_of(h->second.begin(), h->second.end(),
                            [&](const RuleDef &r) { return r.id == id; }))
                found.push_back(g);
            continue;
        }
        std::vector<int> ids = rule_ids(s, g);
        if (std::find(ids.begin(), ids.end(), static_cast<int>(id & 0xFFFF)) == ids.end()) continue;
        if (query_rule(s, g, id)) found.push_back(g);
    }
    return found;
}

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
    for (const auto &[g, ids] : by_group)
        out += (out.empty() ? "" : "; ") + ("group " + std::to_string(g) + ": " + ids);
    return out;
}

}  // namespace kelfctl
