// readback.h - what kelfd holds, read whole in few requests (kelfd's
// read-back extensions): a unit's rules with every field and their
// counters, its ports, their counters, its load-balancing groups, mirrors
// and multicast groups with their members, and the labels (names) kelfd
// keeps for rules and objects. Each read returns nullopt when kelfd does not
// serve it, so that the caller falls back to the per-object requests.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rule.h"
#include "session.h"

namespace kelfctl {

bool have_read_back(Session &s);

struct HeldRule {
    RuleDef def;
    int slot = -1;
    std::optional<std::uint64_t> frames;
};
// The rules of the groups from `first` on (only `first` when one_group), in
// the order that decides: group, then id.
// labelled: only the rules that have a label (a comment).
std::optional<std::vector<HeldRule>> read_back_rules(Session &s, int first, bool one_group,
                                                     bool counters, bool labelled = false);
// The rule as the read-back record holds it.
RuleDef rule_from_read_back(const kel_x_rule_t &x);

std::optional<std::vector<kel_x_port_t>> read_back_ports(Session &s);
std::optional<std::vector<kel_x_counters_t>> read_back_counters(Session &s);

struct HeldLbg {
    int number = 0;
    std::vector<int> ports;  // the shortest list that gives its bins; empty: none does
    std::vector<int> map;    // the port of each bin
    std::string name;
    bool read = true;  // false: kelfd could not read its bins
};
std::optional<std::vector<HeldLbg>> read_back_lbgs(Session &s);

struct HeldMirror {
    int number = 0, port = 0, type = 0;
    int vlan = 0;  // 0: the frame's own
    bool rules = false;
    std::vector<int> ports;  // monitored, sorted
    std::string name;
};
std::optional<std::vector<HeldMirror>> read_back_mirrors(Session &s);

struct HeldMcast {
    int number = 0;
    int port = -1;
    std::set<std::pair<int, int>> listeners;  // (port, vlan)
    std::string name;
};
std::optional<std::vector<HeldMcast>> read_back_mcasts(Session &s);

std::optional<kel_x_unit_t> read_back_unit(Session &s);

// Gives a rule (kind KEL_X_LABEL_RULE, number the group) or an object its
// label in kelfd; "" takes it away. False when kelfd keeps no labels; a
// refusal fails the command.
bool send_label(Session &s, int kind, int number, std::int64_t id, const std::string &text);

}  // namespace kelfctl
