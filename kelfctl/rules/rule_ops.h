// rule_ops.h - the rule object's requests, the session's copy of each
// group, and the rule printers. The functions named send_* and read_* are
// the one place each rule request is built; commands, batches and the
// configuration file's plan all go through them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "output.h"
#include "rule.h"
#include "session.h"
#include "values.h"

namespace kelfctl {

// Requests. Each returns what kelfd answered; callers say what a refusal
// means in their own words.
std::int32_t send_rule(Session &s, const RuleDef &r);  // the new id, or negative
std::int32_t send_rule_remove(Session &s, int group, std::int64_t id);
std::int32_t send_rule_clear(Session &s);
kel_rule_stat_t read_rule_counter(Session &s, int group, std::int64_t id);

// Ids of one group in slot order (command 14); kelfd sends their low 16 bits.
std::vector<int> rule_ids(Session &s, int group);
// One rule by group and id; nullopt when the group holds no such id.
std::optional<RuleDef> query_rule(Session &s, int group, std::int64_t id);
// Every rule of the groups, read from kelfd now (and kept in the session).
// A rule kelfd lists but cannot give back is named in unreadable, or, when
// the caller keeps no such list, in a warning.
// keep false: the session keeps no copy (a caller that holds them itself).
std::vector<RuleDef> read_rules(Session &s, const std::vector<int> &groups,
                                std::vector<std::string> *unreadable = nullptr, bool keep = true);
std::vector<int> all_groups();
// A rule as the session keeps what kelfd holds of it: whole when kelfd reads
// rules back, else as its query reports it.
RuleDef held_form(Session &s, const RuleDef &r);
// The rules of a group as the session knows them (read once).
std::vector<RuleDef> &group_rules(Session &s, int group);
// What a rule matches and does, as kelfd reports it: equal for duplicates.
std::string rule_key(const RuleDef &r);
// The keys of a group's rules, to their ids.
std::unordered_map<std::string, std::int64_t> &group_keys(Session &s, int group);
// The session's own changes to a group it has read.
void held_add(Session &s, const RuleDef &r);
void held_remove(Session &s, int group, std::int64_t id);
// The groups that hold a rule with this id.
std::vector<int> groups_with_rule(Session &s, std::int64_t id);

// The ids of rules (of every group) that send traffic to a group or mirror.
struct RuleRef {
    int group;
    std::int64_t id;
};
std::vector<RuleRef> rules_using(Session &s, RuleDef::Action action, int target);
std::string format_refs(const std::vector<RuleRef> &refs);  // "group 0: 1, 2; group 3: 4"

// Printing.
struct RuleCounter {
    int group;
    std::int64_t id;
    std::uint64_t frames;
};
// One written rule became these ids (several for a port range).
Output print_rules_added(int group, const std::vector<std::int64_t> &ids, const std::string &match);
// A table of rules, or with detail their `rule add` lines (an export);
// with counters, each rule's frames.
// json: the JSON document is wanted (else only the text is built).
Output print_rules(const std::vector<RuleDef> &rules, bool detail,
                   const std::optional<std::vector<RuleCounter>> &counters = std::nullopt,
                   bool json = true);
Output print_rule_counters(const std::vector<RuleCounter> &c);

}  // namespace kelfctl
