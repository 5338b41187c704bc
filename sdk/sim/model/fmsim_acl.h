// fmsim_acl.h - inspection of fmsim's ACLs and port sets, for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fm_sdk.h"

// One rule exactly as fmAddACLRuleExt received it, with its frame counter.
struct FmsimAclRule {
    int rule;
    fm_aclCondition cond;
    fm_aclValue value;
    fm_aclActionExt action;
    fm_aclParamExt param;
    std::uint64_t frames;
};

bool fmsim_acl_exists(int sw, int acl);
// The scenarios and precedence the ACL was created with; false when it
// does not exist.
bool fmsim_acl_args(int sw, int acl, std::uint32_t *scenarios, int *precedence);
// Rule numbers of the ACL, ascending; empty when it does not exist.
std::vector<int> fmsim_acl_rules(int sw, int acl);
bool fmsim_acl_rule(int sw, int acl, int rule, FmsimAclRule *out);
// Sets the frame counter that fmGetACLCount reports for the rule.
bool fmsim_acl_set_frames(int sw, int acl, int rule, std::uint64_t frames);
// What a switch's ACLs cost it: fmCompileACL and fmApplyACL calls that
// succeeded since the switch was reset, and the rules it holds now.
struct FmsimAclStats {
    std::uint64_t compiles;
    std::uint64_t applies;
    std::size_t rules;
};
// false when the switch does not exist.
bool fmsim_acl_stats(int sw, FmsimAclStats *out);
// True when every change to the switch's ACLs has been compiled and applied.
bool fmsim_acl_in_force(int sw);

// Ports of a port set, ascending; empty when the set does not exist.
std::vector<int> fmsim_port_set_ports(int sw, int portSet);
bool fmsim_port_set_exists(int sw, int portSet);
// Number of port sets the switch holds.
int fmsim_port_set_count(int sw);
