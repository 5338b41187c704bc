// rules.h - the rule room as the rest of the daemon sees it: its commands
// (rule_commands.cpp) add a rule (drop, permit, redirect, mirror or any
// combination of actions), remove, clear, query, list and count, each
// returning the int the protocol sends; and its reset.
#pragma once

#include <kelfd/kel_lib.h>

// Adds one rule to group if_kel->kel_mem.group of unit if_kel->unit and
// installs it in the switch (ACL created on first use, rule added, compiled,
// applied). action is the action code; if_kel is only read. The rule's id,
// or -1.
int kel_add_rule_fn(int action, if_kel_t *if_kel);

// Removes the rule with that id from the group. 0, also when no rule has the
// id; -1 on failure.
int kel_entry_remove_fn(int unit, int rule_id, int group);

// Removes every rule of every group of the unit. 0 or -1.
int kel_clear_fn(int unit);

// Reads kel_mem->group and kel_mem->rule_id and writes the stored rule's
// settings into *kel_mem. 0, also when no rule has the id; -1 for a refused
// unit or group.
int kel_entry_query_fn(int unit, struct kel_mem *kel_mem);

// Fills the id list of one group in slot order. 0, or -1 for a refused unit
// or group (the list untouched).
int kel_entry_query_list_fn(int unit, int group, struct kel_query_list *kel_query_list);

// The frame counter of one rule into *stat (counter and ret_val: the SDK's
// status, or -1 for a refused unit or group or an id that no rule holds).
// Returns ret_val.
int kel_rule_count_fn(int unit, int group, int rule_id, kel_rule_stat_t *stat);

namespace kelf::rules {

// Empties every rule table and port-set slot of the room, as before the
// start-up. The switches keep their ACLs and port sets.
void reset();

}  // namespace kelf::rules
