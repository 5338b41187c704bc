// rule_readback.h - a unit's rules read back whole: every field the add
// took, its frame counter and its label, many rules to a reply, in the
// order that decides (group, then rule id).
#pragma once

#include <kelfd/kel_lib.h>

#include <vector>

#include "rule_table.h"

namespace kelf::rules {

// Appends a kel_x_list head and the rules that fit in KEL_X_READ_MAX bytes
// to out. Within a transaction's scope the unit reads as it has staged it.
void read_rules(const kel_x_read_t &q, std::vector<unsigned char> &out);

// The rule as an add request would carry it.
kel_mem_t rule_as_request(const kel_acl_rule_t &r);

}  // namespace kelf::rules
