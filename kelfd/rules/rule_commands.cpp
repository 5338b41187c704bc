// rule_commands.cpp - the rule engine's six commands: add (every action
// code), remove, clear, query, list and count, and the rule room's reset.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "daemon.h"
#include "messages.h"
#include "rule_action.h"
#include "rule_install.h"
#include "rule_match.h"
#include "rule_table.h"
#include "rule_txn.h"
#include "rules.h"
#include "sdk_util.h"

using kelf::rules::unit_group_ok;

namespace kelf::rules {

void reset() {
    txn::reset();
    reset_tables();
    reset_port_sets();
}

}  // namespace kelf::rules

int kel_add_rule_fn(int action, if_kel_t *if_kel) {
    using namespace kelf::rules;
    constexpr const char *kFn = "kel_add_rule_fn";
    const int unit = if_kel->unit;
    const kel_mem_t &m = if_kel->kel_mem;
    const int group = m.group;
    const int requested = m.rule_id;

    if (!unit_group_ok(unit, group)) return -1;
    if (txn::refused(unit)) return -1;
    // Within a transaction the checks see the unit as it will be, and the
    // rule is staged instead of installed.
    txn::Staged *staged = txn::staging(unit);
    kel_acl_t &table = kel_acl[unit][group];
    const bool full = staged ? staged->count(group) >= KEL_MAX_RULES : table.full();
    const bool taken = requested != 0 && (staged ? staged->find(group, requested) != nullptr
                                                 : table.find(requested) >= 0);
    if (full) {
        std::puts(kelf::msg::kRuleStackOverflow);
        std::fflush(stdout);
        return -1;
    }
    if (taken) {
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
    const bool pcie = is_pcie_port(unit, m.port);

    const bool automatic = requested == 0;
    r->rule_id = !automatic ? requested
                 : staged   ? staged->next_auto_id(group)
                            : next_auto_id(unit, group);
    r->acl = group;
    // Every failure from here gives the id back; only an automatic id moved
    // the counter, so only such an add lowers it again.
    auto roll_back = [&] {
        if (automatic && staged)
            staged->undo_auto(group);
        else if (automatic)
            --kel_cur_rule[unit][group];
        return -1;
    };

    if (!match_glort(unit, action, pcie, *r)) return roll_back();
    if (!encode_action(unit, action, m, *r)) return roll_back();
    match_fields(m, *r);
    if (!ensure_acl(unit, group, kFn)) return roll_back();
    if (pcie && match_port_set(unit, m.port, *r) != 0) return roll_back();

    const int id = r->rule_id;
    if (staged) {
        port_set_held(unit, *r);
        staged->add(std::move(r));
        return id;
    }
    const kel_acl_rule_t match = *r;  // for its port set, whatever install makes of r
    switch (install(unit, std::move(r), kFn)) {
        case Installed::InForce:
            port_set_held(unit, match);
            return id;
        case Installed::Refused:
            port_set_released(unit, match, false);
            return roll_back();
        case Installed::Stuck:
            port_set_held(unit, match);
            break;  // still -1: it is not in force
    }
    return -1;
}

int kel_entry_remove_fn(int unit, int rule_id, int group) {
    if (!unit_group_ok(unit, group)) return -1;
    if (kelf::rules::txn::refused(unit)) return -1;
    kelf::rules::txn::Staged *staged = kelf::rules::txn::staging(unit);
    int slot = kel_acl[unit][group].find(rule_id);
    const kel_acl_rule_t *r = staged      ? staged->find(group, rule_id)
                              : slot >= 0 ? kel_acl[unit][group].at(slot)
                                          : nullptr;
    if (r == nullptr) return 0;
    if (r->action & FM_ACL_ACTIONEXT_REDIRECT) {
        // A redirect rule is taken out only while its target port answers.
        // A target that is no physical port (a multicast group's logical
        // port) has no state to read, and nothing of it keeps the rule.
        fm_int mode = 0, state = 0, info[4] = {};
        fm_status st = fmGetPortState(unit, r->param.logicalPort, &mode, &state, info);
        if (st != FM_OK && st != FM_ERR_INVALID_PORT) {
            cleanup(st, "fmGetPortState");
            return -1;
        }
    }
    if (staged) {
        staged->remove(group, rule_id);
        return 0;
    }
    return kelf::rules::uninstall(unit, group, slot, "kel_entry_remove_fn");
}

int kel_clear_fn(int unit) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    if (kelf::rules::txn::refused(unit)) return -1;
    if (kelf::rules::txn::Staged *staged = kelf::rules::txn::staging(unit)) {
        staged->clear();
        return 0;
    }
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        const kel_acl_t &t = kel_acl[unit][group];
        for (int slot = t.prev_taken(KEL_MAX_RULES - 1); slot >= 0; slot = t.prev_taken(slot - 1))
            if (kelf::rules::uninstall(unit, group, slot, "kel_clear_fn") != 0) return -1;
        kel_cur_rule[unit][group] = 0;
    }
    return 0;
}

namespace {

// The rule of that id a read sees: the committed one, or within the unit's
// transaction the staged one.
const kel_acl_rule_t *rule_seen(int unit, int group, int id) {
    if (const kelf::rules::txn::Staged *st = kelf::rules::txn::staging(unit))
        return st->find(group, id);
    int slot = kel_acl[unit][group].find(id);
    return slot < 0 ? nullptr : kel_acl[unit][group].at(slot);
}

}  // namespace

int kel_entry_query_fn(int unit, struct kel_mem *m) {
    if (!unit_group_ok(unit, m->group)) return -1;
    const kel_acl_rule_t *r = rule_seen(unit, m->group, m->rule_id);
    if (r == nullptr) return 0;
    kelf::rules::decode_action(*r, *m);
    kelf::rules::decode_match(*r, *m);
    return 0;
}

int kel_entry_query_list_fn(int unit, int group, struct kel_query_list *list) {
    if (!unit_group_ok(unit, group)) return -1;
    std::uint32_t n = 0;
    if (const kelf::rules::txn::Staged *st = kelf::rules::txn::staging(unit)) {
        for (int id : st->ids(group))
            list->kel_id_list.id_list[n++] = static_cast<std::uint16_t>(id);
    } else {
        const kel_acl_t &t = kel_acl[unit][group];
        for (int slot = t.next_taken(0); slot >= 0; slot = t.next_taken(slot + 1))
            list->kel_id_list.id_list[n++] = static_cast<std::uint16_t>(t.at(slot)->rule_id);
    }
    list->kel_id_list.rule_num = n;
    return 0;
}

int kel_rule_count_fn(int unit, int group, int rule_id, kel_rule_stat_t *stat) {
    fm_uint64 counter = 0;
    int ret = -1;
    if (unit_group_ok(unit, group)) {
        const kel_acl_rule_t *r = rule_seen(unit, group, rule_id);
        int slot = kel_acl[unit][group].find(rule_id);
        // A staged rule is in no ACL yet: it has counted nothing.
        if (r != nullptr && (slot < 0 || kel_acl[unit][group].at(slot) != r))
            ret = 0;
        else if (r != nullptr)
            ret = fmGetACLCount(unit, r->acl, r->rule_id, &counter);
    }
    stat->kel_rule_stat_cnt.counter = counter;
    stat->ret_val = ret;
    return ret;
}
