// rule_install.h - a rule's way into the switch and out of it: the group's
// ACL created on its first rule, the rule added, the unit's ACLs compiled
// and applied, a rule that did not come into force withdrawn, and a held
// rule taken out again. The table and the switch leave every step in step.
#pragma once

#include <memory>

#include "fm_sdk.h"
#include "rule_table.h"

// Rule-engine failures of the ACL calls go to the SDK's log at level 8,
// under the name of the command's handler.
#define KEL_RULE_LOG(fn, ...) fmLogMessage(FM_LOG_CAT_ALL, 8, __FILE__, (fn), __LINE__, __VA_ARGS__)

namespace kelf::rules {

// The group's ACL, created (scenarios 0x43F7, precedence 0) when the switch
// does not have it yet. false, after the log line under fn, when it cannot
// be made.
bool ensure_acl(int unit, int group, const char *fn);

// Compiles (1024-byte status text, flags 0x40) or applies (flags 1) the
// unit's ACLs; on failure logs the step's line under the name fn and
// returns the status.
fm_status compile_acls(int unit, const char *fn);
fm_status apply_acls(int unit, const char *fn);

// What became of a rule handed to install().
enum class Installed {
    InForce,  // added, compiled and applied; its group's table holds it
    Refused,  // neither the switch nor the table holds it
    Stuck,    // not in force, yet the switch keeps it: so does the table
};

// Adds r to ACL r->acl and to the lowest free slot of that group's table
// (which must have one), then compiles and applies the unit's ACLs. A rule
// that does not come into force is withdrawn from the ACL and the table
// together, so that the two never disagree. fn names the command in log
// lines.
Installed install(int unit, std::unique_ptr<kel_acl_rule_t> r, const char *fn);

// Takes the rule in `slot` out of the switch (delete, compile, apply) and, if
// the switch no longer holds it, out of the table. `fn` names the command in
// log lines. 0, or -1 after the message of the step that failed.
int uninstall(int unit, int group, int slot, const char *fn);

}  // namespace kelf::rules
