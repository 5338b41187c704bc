// rule.h - a rule as the operator writes it: its group and id, what it
// does, and what it matches. The same description is parsed from
// `rule add`, turned into the request record, recovered from kelfd's
// query reply and printed back in the syntax `rule add` reads.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "session.h"
#include "values.h"

namespace kelfctl {

struct RuleDef {
    enum class Action { Drop, Permit, Redirect, Lbg, Mirror, Rewrite, Unreported };

    int group = 0;
    std::int64_t id = 0;  // 0: kelfd chooses
    Action action = Action::Drop;
    int target = 0;  // redirect port, load-balancing group or mirror
    std::optional<int> set_vlan, set_vlan_priority, set_switch_priority, set_user_bits;

    int in_port = 0;  // 0: any port
    std::optional<Mac> src_mac, dst_mac;
    std::optional<int> ethertype;
    std::optional<int> vlan;
    std::optional<int> vlan_tag;  // index into the tag type names
    std::optional<IpPrefix> src_ip, dst_ip;
    std::optional<int> protocol;
    // An L4 port: exact, under a mask (sport_mask), or a range sport to
    // sport_hi that expand_rule splits into value/mask rules. Values are
    // kept masked: what the switch compares.
    std::optional<int> sport, sport_mask, dport, dport_mask;
    std::optional<int> sport_hi, dport_hi;
    std::optional<int> mpls;  // 1 unicast, 2 multicast
    std::optional<std::uint64_t> mpls_header, mpls_header_mask;
    // A redirect to a multicast group by its name (target is then the
    // group's port, once known).
    std::string mcast;
    // The load-balancing group's name, when it has one (shown, not sent).
    std::string lbg;
    // The rule's label in kelfd (`comment TEXT`).
    std::string comment;

    // same_whole (rule.cpp) names every field but group, id and the names.
    bool operator==(const RuleDef &) const = default;
};

// Parses what follows `rule add`. Keywords may be shortened to a prefix
// only they have. Address bits past a prefix are cleared (the switch
// compares only the prefix) with a line in warnings, when given.
RuleDef parse_rule(Args &a, std::vector<std::string> *warnings = nullptr);

// VLAN tag types kelfctl names (vlan_tag 0 to kVlanTagTypes - 1).
constexpr int kVlanTagTypes = 10;
// A VLAN priority has 3 bits.
constexpr int kVlanPriorityMax = 7;

// What a rule added now may not hold, though parse_rule reads it so that
// a record written by an older kelfctl still loads: a mirror rule's
// in-port (a mirror rule matches frames of every port; its mirror's
// monitored ports say where it copies from) and a VLAN priority past 7.
// A usage failure naming the first; rule add and a file's rule line call it.
void check_new_rule(const RuleDef &r);
// Why a mirror rule takes no in-port, in the words every refusal uses.
extern const char kMirrorInPort[];

// The rules kelfd is sent for one written rule: itself, or one per
// value/mask pair of its port ranges (sport and dport ranges multiply).
// With an id, the rules take it and the ids after it.
std::vector<RuleDef> expand_rule(const RuleDef &r);

// The rule as a query of kelfd gives it back: without what kelfd does not
// report (vlan-tag, set-vlan, set-vlan-priority, set-user-bits).
RuleDef reported_form(RuleDef r);

// Whether two rules match and act alike as far as kelfd reports them
// (group, id and comment aside).
bool same_rule(const RuleDef &a, const RuleDef &b);
// Whether two rules match and act alike, every field compared (group, id
// and comment aside): for rules kelfd reads back whole.
bool same_whole(const RuleDef &a, const RuleDef &b);

// The command code and the request record that adds the rule.
if_kel_t rule_request(const RuleDef &r, int unit, int *code);

// The query (command 13) of one rule. kelfd writes the stored port into
// every reply for a rule it holds, so a port it can never store tells a
// missing rule apart.
constexpr std::int32_t kAbsent = INT32_MIN;
if_kel_t rule_query(int unit, int group, std::int64_t id);
// The rule from a query reply; nullopt when the group holds no such id.
std::optional<RuleDef> rule_from_query(const kel_query_rule_t &q, int group, std::int64_t id);

// Whether any of n bytes is set (an address or MAC given).
bool any_byte(const std::uint8_t *p, std::size_t n);

// "rule add group G id N ACTION ... MATCH ..."; for an action the daemon
// does not report, a comment line that says so.
std::string rule_command(const RuleDef &r);
std::string rule_action_text(const RuleDef &r);
// " comment \"TEXT\"", or "" for a rule without one.
std::string comment_text(const RuleDef &r);
std::string rule_match_text(const RuleDef &r);
Json rule_json(const RuleDef &r);

}  // namespace kelfctl
