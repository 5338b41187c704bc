// rule_action.h - what a rule does: the request's action code turned into
// the switch's action bits and parameters (with the switch-wide settings
// some actions need), and the stored rule's actions read back for a query.
#pragma once

#include <kelfd/kel_lib.h>

#include "rule_table.h"

namespace kelf::rules {

// Sets r's action bits and parameters from the action code and the request:
// the code's own bits plus counting, a permit beside a redirect, and the
// parameter of every bit. User bits and then mirroring replace the action
// whole. User bits, VLAN priority and mirroring also set up the switch (a
// VLAN and port attributes, the mirror's rule input) on the way: false,
// after the line saying which setting failed, when one of them could not be
// made (the rule must then not be added).
bool encode_action(int unit, int action, const kel_mem_t &m, kel_acl_rule_t &r);

// Writes the stored rule's action as a query reports it: rule_act (the
// first of drop, redirect, load balancing, permit, switch priority and
// mirror it holds), redir_port or mirror_port where the action has one, and
// user_act. Fields of actions it does not hold keep what m had.
void decode_action(const kel_acl_rule_t &r, kel_mem_t &m);

}  // namespace kelf::rules
