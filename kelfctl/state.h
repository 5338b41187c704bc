// state.h - what kelfctl reads of kelfd's state to check a command before
// sending it: the rules of each group, the load-balancing groups and the
// mirrors of a unit. Reads are kept in the session (a batch asks once) and
// kept up to date by the session's own changes.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "rule.h"
#include "session.h"

namespace kelfctl {

// Port masks cover ports 1 to 47.
inline constexpr int kMaskPorts = KEL_MAX_PORTS - 1;
// Sets the bits of ports in a port bit set of the wire.
void set_bits(std::uint8_t *set, const std::vector<int> &ports);
// The ports port p's mask lets it forward to.
std::vector<int> read_mask(Session &s, int p);
// The words of a multicast listener, `port PORT vlan VLAN` in either order;
// both are required.
std::pair<int, int> listener_words(Session &s, Args &a);
// The switch's L2 and L3 hash settings (profile 0).
kel_l2_hash_t get_l2(Session &s);
kel_l3_hash_t get_l3(Session &s);

// Ids of one group in slot order (command 14); kelfd sends their low 16 bits.
std::vector<int> rule_ids(Session &s, int group);
// One rule by group and id; nullopt when the group holds no such id.
std::optional<RuleDef> query_rule(Session &s, int group, std::int64_t id);
// Every rule of the groups, read from kelfd now (and kept in the session).
std::vector<RuleDef> read_rules(Session &s, const std::vector<int> &groups);
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

// kelfd lists at most 16 groups or mirrors; whole is false when it had more.
struct Listed {
    std::vector<int> numbers;
    bool whole = true;
};
Listed lbg_numbers(Session &s);
Listed mirror_numbers(Session &s);
void forget_lbgs(Session &s);
void forget_mirrors(Session &s);

// The ids of rules (of every group) that send traffic to a group or mirror.
struct RuleRef {
    int group;
    std::int64_t id;
};
std::vector<RuleRef> rules_using(Session &s, RuleDef::Action action, int target);
std::string format_refs(const std::vector<RuleRef> &refs);  // "0/1, 0/2" as "group 0: 1, 2"

}  // namespace kelfctl
