// tables_agree.h - the rule engine's invariant as tests, the fault sweep
// and the fuzz measurements check it: the daemon's rule tables hold exactly
// the rules the switch's ACLs hold. Free of any test framework.
#pragma once

#include <kelfd/kel_lib.h>

#include <algorithm>
#include <vector>

#include "fmsim_acl.h"
#include "rules/rule_table.h"

namespace kelftest {

// Ids of a group in slot order, from the daemon's table.
inline std::vector<int> table_ids(int unit, int group) {
    const kel_acl_t &t = kel_acl[unit][group];
    std::vector<int> ids;
    for (int s = t.next_taken(0); s >= 0; s = t.next_taken(s + 1)) ids.push_back(t.at(s)->rule_id);
    return ids;
}

// One group where table and switch disagree, both sides as sorted ids.
struct TablesApart {
    int group;
    std::vector<int> table, acl;
};

// Every group of the unit whose table and ACL disagree; empty when they
// agree.
inline std::vector<TablesApart> tables_apart(int unit) {
    std::vector<TablesApart> apart;
    for (int g = 0; g < KEL_MAX_GROUPS; ++g) {
        std::vector<int> ids = table_ids(unit, g);
        std::sort(ids.begin(), ids.end());
        std::vector<int> acl = fmsim_acl_rules(unit, g);
        if (ids != acl) apart.push_back({g, std::move(ids), std::move(acl)});
    }
    return apart;
}

}  // namespace kelftest
