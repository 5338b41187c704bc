// rule_install.cpp - creating the group's ACL, adding, compiling, applying,
// withdrawing and removing rules in the switch, with the table kept in step.
#include "rule_install.h"

#include <cstdio>

#include "labels.h"
#include "messages.h"
#include "rule_match.h"

namespace kelf::rules {
namespace {

constexpr fm_uint32 kAclScenarios = 0x43F7;

void print_line(const char *text) {
    std::puts(text);
    std::fflush(stdout);
}

// Takes a rule that failed to come into force out of the ACL again. False
// when the switch keeps it.
bool withdraw(int unit, const kel_acl_rule_t &r, bool recompile, const char *fn) {
    if (fmDeleteACLRule(unit, r.acl, r.rule_id) != FM_OK) {
        print_line(kelf::msg::kSetRuleStateFailed);
        return false;
    }
    if (recompile) compile_acls(unit, fn);
    return true;
}

}  // namespace

bool ensure_acl(int unit, int group, const char *fn) {
    fm_aclArguments args{};
    if (fmGetACL(unit, group, &args) == FM_OK) return true;
    fm_status st = fmCreateACLExt(unit, group, kAclScenarios, 0);
    if (st == FM_OK) return true;
    KEL_RULE_LOG(fn, "kel: Failed creating ACL (acl:%d msg:%s)\n", group, fmErrorMsg(st));
    return false;
}

fm_status compile_acls(int unit, const char *fn) {
    char text[1024] = {};
    fm_status st = fmCompileACL(unit, text, sizeof text, FM_ACL_COMPILE_FLAG_NON_DISRUPTIVE);
    text[sizeof text - 1] = '\0';
    if (st != FM_OK)
        KEL_RULE_LOG(fn, "kel: Failed compiling ACL (status:%s msg:%s)\n", text, fmErrorMsg(st));
    return st;
}

fm_status apply_acls(int unit, const char *fn) {
    fm_status st = fmApplyACL(unit, FM_ACL_APPLY_FLAG_NON_DISRUPTIVE);
    if (st != FM_OK) KEL_RULE_LOG(fn, "kel: Failed applying ACL (msg:%s)\n", fmErrorMsg(st));
    return st;
}

Installed install(int unit, std::unique_ptr<kel_acl_rule_t> r, const char *fn) {
    kel_acl_t &table = kel_acl[unit][r->acl];
    const int slot = table.lowest_free();
    const fm_aclValue value = r->value;
    fm_status st = fmAddACLRuleExt(unit, r->acl, r->rule_id, r->cond, &value, r->action, &r->param);
    if (st != FM_OK) {
        KEL_RULE_LOG(fn, "kel: Failed adding ACL (acl:%d msg:%s)\n", r->acl, fmErrorMsg(st));
        return Installed::Refused;
    }
    table.put(slot, std::move(r));
    // Should the switch refuse to let a rule go that is not in force, the
    // table keeps it too.
    if (compile_acls(unit, fn) != FM_OK) {
        if (!withdraw(unit, *table.at(slot), false, fn)) return Installed::Stuck;
        table.take(slot);
        return Installed::Refused;
    }
    if (apply_acls(unit, fn) != FM_OK) {
        if (!withdraw(unit, *table.at(slot), true, fn)) return Installed::Stuck;
        table.take(slot);
        return Installed::Refused;
    }
    return Installed::InForce;
}

int uninstall(int unit, int group, int slot, const char *fn) {
    kel_acl_t &t = kel_acl[unit][group];
    const kel_acl_rule_t *r = t.at(slot);
    if (fmDeleteACLRule(unit, r->acl, r->rule_id) != FM_OK) {
        print_line(kelf::msg::kDeleteRuleStateFailed);
        return -1;
    }
    // The switch no longer holds the rule, so neither does the table, even
    // when the compile or apply below fails.
    std::unique_ptr<kel_acl_rule_t> gone = t.take(slot);
    int ret = 0;
    if (compile_acls(unit, fn) != FM_OK || apply_acls(unit, fn) != FM_OK) ret = -1;
    port_set_released(unit, *gone, true);
    kelf::labels::gone(unit, kelf::labels::Kind::Rule, gone->acl, gone->rule_id);
    return ret;
}

}  // namespace kelf::rules
