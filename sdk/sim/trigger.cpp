// trigger.cpp - fmsim's triggers: per switch, named by group and rule, each
// with its condition and action.
#include <map>
#include <utility>
#include <vector>

#include "fmsim.h"
#include "sim.h"

namespace {

// The trigger table of one switch holds this many triggers.
constexpr size_t kMaxTriggers = 64;

fm_triggerCondition default_condition() {
    fm_triggerCondition c{};
    c.cfg.HAMask = 0;
    c.cfg.rxPortset = FM_PORT_SET_ALL;
    c.cfg.txPortset = FM_PORT_SET_ALL;
    c.cfg.matchFrameClassMask = FM_TRIGGER_FRAME_CLASS_ALL;
    c.cfg.matchRoutedMask = FM_TRIGGER_ROUTED_ALL;
    c.cfg.matchVlan = FALSE;
    return c;
}

fm_triggerAction default_action() {
    fm_triggerAction a{};
    a.cfg.forwardingAction = FM_TRIGGER_FORWARDING_ACTION_ASIS;
    a.cfg.trapAction = FM_TRIGGER_TRAP_ACTION_ASIS;
    return a;
}

struct Trigger {
    fm_triggerCondition cond = default_condition();
    fm_triggerAction action = default_action();
};

using Table = std::map<std::pair<fm_int, fm_int>, Trigger>;

std::vector<Table> &tables() {
    static auto *t = new std::vector<Table>;
    return *t;
}

void reset_triggers() {
    tables().assign(FM_MAX_NUM_SWITCHES, Table{});
}

struct Init {
    Init() {
        reset_triggers();
        fmsim::on_reset(reset_triggers);
    }
} init;

// The trigger, or nullptr with *st saying why not.
Trigger *find(fm_int sw, fm_int group, fm_int rule, fm_status *st) {
    if (fmsim::find_switch(sw) == nullptr) {
        *st = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    Table &t = tables()[static_cast<size_t>(sw)];
    auto it = t.find({group, rule});
    if (it == t.end()) {
        *st = FM_ERR_INVALID_TRIGGER;
        return nullptr;
    }
    return &it->second;
}

bool portset_ok(fm_int ps) {
    return ps == FM_PORT_SET_ALL || ps >= 0;
}

}  // namespace

extern "C" {

fm_status fmCreateTrigger(fm_int sw, fm_int group, fm_int rule) {
    FMSIM_ENTER("fmCreateTrigger");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (group < 0 || rule < 0) return FM_ERR_INVALID_TRIGGER;
    Table &t = tables()[static_cast<size_t>(sw)];
    if (t.count({group, rule})) return FM_ERR_ALREADY_EXISTS;
    if (t.size() >= kMaxTriggers) return FM_ERR_TABLE_FULL;
    t.emplace(std::make_pair(group, rule), Trigger{});
    return FM_OK;
}

fm_status fmDeleteTrigger(fm_int sw, fm_int group, fm_int rule) {
    FMSIM_ENTER("fmDeleteTrigger");
    fm_status st;
    if (find(sw, group, rule, &st) == nullptr) return st;
    tables()[static_cast<size_t>(sw)].erase({group, rule});
    return FM_OK;
}

fm_status fmInitTriggerCondition(fm_int sw, fm_triggerCondition *cond) {
    FMSIM_ENTER("fmInitTriggerCondition");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (cond == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *cond = default_condition();
    return FM_OK;
}

fm_status fmInitTriggerAction(fm_int sw, fm_triggerAction *action) {
    FMSIM_ENTER("fmInitTriggerAction");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (action == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *action = default_action();
    return FM_OK;
}

fm_status fmSetTriggerCondition(fm_int sw, fm_int group, fm_int rule,
                                const fm_triggerCondition *cond) {
    FMSIM_ENTER("fmSetTriggerCondition");
    fm_status st;
    Trigger *t = find(sw, group, rule, &st);
    if (t == nullptr) return st;
    if (cond == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (!portset_ok(cond->cfg.rxPortset) || !portset_ok(cond->cfg.txPortset))
        return FM_ERR_INVALID_PORT_SET;
    if (cond->cfg.matchFrameClassMask & ~static_cast<fm_uint32>(FM_TRIGGER_FRAME_CLASS_ALL))
        return FM_ERR_INVALID_VALUE;
    if (cond->cfg.matchRoutedMask & ~static_cast<fm_uint32>(FM_TRIGGER_ROUTED_ALL))
        return FM_ERR_INVALID_VALUE;
    t->cond = *cond;
    return FM_OK;
}

fm_status fmGetTriggerCondition(fm_int sw, fm_int group, fm_int rule, fm_triggerCondition *cond) {
    FMSIM_ENTER("fmGetTriggerCondition");
    fm_status st;
    Trigger *t = find(sw, group, rule, &st);
    if (t == nullptr) return st;
    if (cond == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *cond = t->cond;
    return FM_OK;
}

fm_status fmSetTriggerAction(fm_int sw, fm_int group, fm_int rule, const fm_triggerAction *action) {
    FMSIM_ENTER("fmSetTriggerAction");
    fm_status st;
    Trigger *t = find(sw, group, rule, &st);
    if (t == nullptr) return st;
    if (action == nullptr) return FM_ERR_INVALID_ARGUMENT;
    fm_int fwd = fmsim::raw_enum(action->cfg.forwardingAction);
    fm_int trap = fmsim::raw_enum(action->cfg.trapAction);
    if (fwd < FM_TRIGGER_FORWARDING_ACTION_ASIS || fwd > FM_TRIGGER_FORWARDING_ACTION_DROP ||
        trap < FM_TRIGGER_TRAP_ACTION_ASIS || trap > FM_TRIGGER_TRAP_ACTION_DONOT_TRAP_OR_LOG)
        return FM_ERR_INVALID_VALUE;
    if (fwd == FM_TRIGGER_FORWARDING_ACTION_DROP && !portset_ok(action->param.dropPortset))
        return FM_ERR_INVALID_PORT_SET;
    t->action = *action;
    return FM_OK;
}

fm_status fmGetTriggerAction(fm_int sw, fm_int group, fm_int rule, fm_triggerAction *action) {
    FMSIM_ENTER("fmGetTriggerAction");
    fm_status st;
    Trigger *t = find(sw, group, rule, &st);
    if (t == nullptr) return st;
    if (action == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *action = t->action;
    return FM_OK;
}

}  // extern "C"
