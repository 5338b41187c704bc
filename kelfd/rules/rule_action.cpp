// rule_action.cpp - a rule's actions: the action code turned into the
// switch's action bits and parameters, the switch-wide settings some
// actions need, and the stored actions read back for a query.
#include "rule_action.h"

#include <cstdint>
#include <cstdio>

#include "messages.h"

namespace kelf::rules {
namespace {

constexpr fm_uint16 kUserVlan = 2;

// The line of one port setting; true when it was made.
bool print_attr_line(int label, fm_status st) {
    std::printf(kelf::msg::kPortAttributeLine, label, fmErrorMsg(st));
    std::fflush(stdout);
    return st == FM_OK;
}

void print_line(const char *text) {
    std::puts(text);
    std::fflush(stdout);
}

// User bits: every card port but the CPU port forwards in VLAN 2, and
// four ports carry 64-bit ISL tags. False when a port's tag format could
// not be set: without it the bits never reach the frames.
bool set_up_user_bits(int unit) {
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
    bool all = true;
    for (int p : {1, 2, 7, 8}) {
        fm_int tagFormat = FM_ISL_TAG_F64;
        all &= print_attr_line(p, fmSetPortAttribute(unit, p, FM_PORT_ISL_TAG_FORMAT, &tagFormat));
    }
    return all;
}

// VLAN priority: eight ports rewrite the VLAN priority they send. False
// when one of them could not be set.
bool set_up_vlan_priority(int unit) {
    static constexpr int kPorts[] = {5, 6, 9, 10, 1, 2, 7, 8};
    static constexpr int kLabels[] = {1, 2, 7, 8, 1, 2, 7, 8};
    bool all = true;
    for (int i = 0; i < 8; ++i) {
        fm_bool updateVpri = TRUE;
        all &= print_attr_line(kLabels[i],
                               fmSetPortAttribute(unit, kPorts[i], FM_PORT_TXVPRI, &updateVpri));
    }
    return all;
}

// Mirroring: the mirror takes the copies of rules. False, with the reason,
// when it cannot (no such mirror among them).
bool set_up_mirror(int unit, int mirror) {
    fm_bool aclMirror = TRUE;
    fm_status st = fmSetMirrorAttribute(unit, mirror, FM_MIRROR_ACL, &aclMirror);
    if (st == FM_OK) return true;
    std::printf("mirror %d cannot take rule copies: fmSetMirrorAttribute:%s\n", mirror,
                fmErrorMsg(st));
    std::fflush(stdout);
    return false;
}

}  // namespace

// Every bit is tested on the code as the caller gave it, while user bits and
// then mirroring replace the stored action whole; counting is added back
// last.
bool encode_action(int unit, int action, const kel_mem_t &m, kel_acl_rule_t &r) {
    bool set_up = true;
    r.action =
        static_cast<fm_aclActionExt>(static_cast<std::int64_t>(action)) | FM_ACL_ACTIONEXT_COUNT;
    fm_aclParamExt &p = r.param;
    if (action & KEL_ACT_SET_SWITCH_PRI) p.switchPriority = static_cast<fm_byte>(m.user_act);
    if (action & KEL_ACT_REDIRECT) {
        r.action |= FM_ACL_ACTIONEXT_PERMIT;
        p.logicalPort = m.redir_port;
    }
    if (action & KEL_ACT_LBG) p.lbgNumber = m.redir_port;
    if (action & KEL_ACT_SET_VLAN) p.vlan = static_cast<fm_uint16>(m.vlan_act);
    if (action & KEL_ACT_SET_USER) {
        set_up &= set_up_user_bits(unit);
        r.action = FM_ACL_ACTIONEXT_SET_USER;
        p.user = static_cast<fm_byte>(m.user_act);
        p.userMask = 0x0F;
    }
    if (action & KEL_ACT_SET_VLAN_PRI) {
        set_up &= set_up_vlan_priority(unit);
        p.vlanPriority = static_cast<fm_byte>(m.vlan_pri_act);
    }
    if (action & KEL_ACT_MIRROR) {
        r.action = FM_ACL_ACTIONEXT_MIRROR_GRP | FM_ACL_ACTIONEXT_COUNT;
        p.mirrorGrp = static_cast<fm_byte>(m.mirror_port);
        set_up &= set_up_mirror(unit, p.mirrorGrp);  // the mirror the rule copies to
    }
    r.action |= FM_ACL_ACTIONEXT_COUNT;
    return set_up;
}

void decode_action(const kel_acl_rule_t &r, kel_mem_t &m) {
    if (r.action & FM_ACL_ACTIONEXT_DENY) {
        m.rule_act = KEL_ACT_DROP;
    } else if (r.action & FM_ACL_ACTIONEXT_REDIRECT) {
        m.rule_act = KEL_ACT_REDIRECT;
        m.redir_port = r.param.logicalPort;
    } else if (r.action & FM_ACL_ACTIONEXT_LOAD_BALANCE) {
        m.rule_act = KEL_ACT_LBG;
        m.redir_port = r.param.lbgNumber;
    } else if (r.action & FM_ACL_ACTIONEXT_PERMIT) {
        m.rule_act = KEL_ACT_PERMIT;
    } else if (r.action & FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY) {
        m.rule_act = KEL_ACT_SET_SWITCH_PRI;
    } else if (r.action & FM_ACL_ACTIONEXT_MIRROR_GRP) {
        // Reported as the mirror command that made it.
        m.rule_act = KEL_ACT_MIRROR;
        m.mirror_port = r.param.mirrorGrp;
    }
    m.user_act = r.param.switchPriority;
}

}  // namespace kelf::rules
