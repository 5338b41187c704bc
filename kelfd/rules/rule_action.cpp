// rule_action.cpp - a rule's actions and its installation: the action code
// turned into the switch's action bits and parameters, the switch-wide
// settings some actions need, the group's ACL, and add, compile, apply.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "daemon.h"
#include "messages.h"
#include "rule_match.h"
#include "rule_table.h"
#include "rules.h"

namespace kelf::rules {
namespace {

constexpr const char *kFn = "kel_add_rule_fn";
constexpr fm_uint32 kAclScenarios = 0x43F7;
constexpr fm_uint16 kUserVlan = 2;

void print_attr_line(int label, fm_status st) {
    std::printf(kelf::msg::kPortAttributeLine, label, fmErrorMsg(st));
    std::fflush(stdout);
}

void print_line(const char *text) {
    std::puts(text);
    std::fflush(stdout);
}

// User bits: every card port but the CPU port forwards in VLAN 2, and
// four ports carry 64-bit ISL tags.
void set_up_user_bits(int unit) {
    fm_switchInfo info{};
    fm_status st = fmGetSwitchInfo(unit, &info);
    fmCreateVlan(unit, kUserVlan);  // may exist from an earlier such rule
    if (st == FM_OK) {              // without it the card-port count is unknown
        for (fm_int cpi = 1; cpi < info.numCardPorts; ++cpi) {
            fm_int port = 0;
            if (fmMapCardinalPort(unit, cpi, &port, nullptr) != FM_OK) {
                print_line(kelf::msg::kMapCardinalPortError);
                continue;  // no port to add for this index
            }
            if (fmAddVlanPort(unit, kUserVlan, port, TRUE) != FM_OK)
                print_line(kelf::msg::kAddVlanPortError);
            if (fmSetVlanPortState(unit, kUserVlan, port, FM_STP_STATE_FORWARDING) != FM_OK)
                print_line(kelf::msg::kSetVlanPortStateError);
        }
    }
    for (int p : {1, 2, 7, 8}) {
        fm_int tagFormat = FM_ISL_TAG_F64;
        print_attr_line(p, fmSetPortAttribute(unit, p, FM_PORT_ISL_TAG_FORMAT, &tagFormat));
    }
}

// VLAN priority: eight ports rewrite the VLAN priority they send.
void set_up_vlan_priority(int unit) {
    static constexpr int kPorts[] = {5, 6, 9, 10, 1, 2, 7, 8};
    static constexpr int kLabels[] = {1, 2, 7, 8, 1, 2, 7, 8};
    for (int i = 0; i < 8; ++i) {
        fm_bool updateVpri = TRUE;
        print_attr_line(kLabels[i],
                        fmSetPortAttribute(unit, kPorts[i], FM_PORT_TXVPRI, &updateVpri));
    }
}

// The action bits and parameters; every bit is tested on the code as the
// caller gave it, while user bits and then mirroring replace the stored
// action whole.
void apply_action_code(int unit, int action, const kel_mem_t &m, kel_acl_rule_t &r) {
    fm_aclParamExt &p = r.param;
    if (action & KEL_ACT_SET_SWITCH_PRI) p.switchPriority = static_cast<fm_byte>(m.user_act);
    if (action & KEL_ACT_REDIRECT) {
        r.action |= FM_ACL_ACTIONEXT_PERMIT;
        p.logicalPort = m.redir_port;
    }
    if (action & KEL_ACT_LBG) p.lbgNumber = m.redir_port;
    if (action & KEL_ACT_SET_VLAN) p.vlan = static_cast<fm_uint16>(m.vlan_act);
    if (action & KEL_ACT_SET_USER) {
        set_up_user_bits(unit);
        r.action = FM_ACL_ACTIONEXT_SET_USER;
        p.user = static_cast<fm_byte>(m.user_act);
        p.userMask = 0x0F;
    }
    if (action & KEL_ACT_SET_VLAN_PRI) {
        set_up_vlan_priority(unit);
        p.vlanPriority = static_cast<fm_byte>(m.vlan_pri_act);
    }
    if (action & KEL_ACT_MIRROR) {
        r.action = FM_ACL_ACTIONEXT_MIRROR_GRP | FM_ACL_ACTIONEXT_COUNT;
        p.mirrorGrp = static_cast<fm_byte>(m.mirror_port);
        fm_bool aclMirror = TRUE;
        fmSetMirrorAttribute(unit, m.mirror_port, FM_MIRROR_ACL, &aclMirror);  // status ignored
    }
}

// The group's ACL, created by its first rule.
bool ensure_acl(int unit, int group) {
    fm_aclArguments args{};
    if (fmGetACL(unit, group, &args) == FM_OK) return true;
    fm_status st = fmCreateACLExt(unit, group, kAclScenarios, 0);
    if (st == FM_OK) return true;
    KEL_RULE_LOG(kFn, "kel: Failed creating ACL (acl:%d msg:%s)\n", group, fmErrorMsg(st));
    return false;
}

// Takes a rule that failed to come into force out of the ACL again. False
// when the switch keeps it.
bool withdraw(int unit, const kel_acl_rule_t &r, bool recompile) {
    if (fmDeleteACLRule(unit, r.acl, r.rule_id) != FM_OK) {
        print_line(kelf::msg::kSetRuleStateFailed);
        return false;
    }
    if (recompile) compile_acls(unit, kFn);
    return true;
}

}  // namespace
}  // namespace kelf::rules

int kel_add_rule_fn(int action, if_kel_t *if_kel) {
    using namespace kelf::rules;
    const int unit = if_kel->unit;
    const kel_mem_t &m = if_kel->kel_mem;
    const int group = m.group;
    const int requested = m.rule_id;

    if (!unit_group_ok(unit, group)) return -1;
    kel_acl_t &table = kel_acl[unit][group];
    if (table.full()) {
        std::puts(kelf::msg::kRuleStackOverflow);
        std::fflush(stdout);
        return -1;
    }
    if (requested != 0 && table.find(requested) >= 0) {
        std::fputs(kelf::msg::kRuleExists, stdout);
        std::fflush(stdout);
        return -1;
    }
    std::unique_ptr<kel_acl_rule_t> r(new (std::nothrow) kel_acl_rule_t());
    if (!r) {
        std::puts(kelf::msg::kRuleAllocFailed);
        std::fflush(stdout);
        return -1;
    }
    r->port = m.port;
    r->action =
        static_cast<fm_aclActionExt>(static_cast<std::int64_t>(action)) | FM_ACL_ACTIONEXT_COUNT;
    const bool pcie = is_pcie_port(unit, m.port);

    const bool automatic = requested == 0;
    r->rule_id = automatic ? next_auto_id(unit, group) : requested;
    r->acl = group;
    // Every failure from here gives the id back; only an automatic id moved
    // the counter, so only such an add lowers it again.
    auto roll_back = [&] {
        if (automatic) --kel_cur_rule[unit][group];
        return -1;
    };

    if (!match_glort(unit, action, pcie, *r)) return roll_back();
    apply_action_code(unit, action, m, *r);
    match_fields(m, *r);
    if (!ensure_acl(unit, group)) return roll_back();
    if (pcie && match_port_set(unit, m.port, *r) != 0) return roll_back();

    const int slot = table.lowest_free();
    r->action |= FM_ACL_ACTIONEXT_COUNT;
    fm_status st =
        fmAddACLRuleExt(unit, r->acl, r->rule_id, r->cond, &r->value, r->action, &r->param);
    if (st != FM_OK) {
        KEL_RULE_LOG(kFn, "kel: Failed adding ACL (acl:%d msg:%s)\n", group, fmErrorMsg(st));
        return roll_back();
    }
    const int id = r->rule_id;
    table.put(slot, std::move(r));
    // A rule that does not come into force leaves the ACL and the table
    // together, so that they never disagree; should the switch refuse to let
    // it go, the table keeps it too (still -1: it is not in force).
    if (compile_acls(unit, kFn) != FM_OK) {
        if (withdraw(unit, *table.at(slot), false)) {
            table.take(slot);
            return roll_back();
        }
        return -1;
    }
    if (apply_acls(unit, kFn) != FM_OK) {
        if (withdraw(unit, *table.at(slot), true)) {
            table.take(slot);
            return roll_back();
        }
        return -1;
    }
    return id;
}
