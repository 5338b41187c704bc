// rule_txn.cpp - staged rule changes per unit, committed with one compile
// and one apply, or undone in the switch when the switch refuses a step.
#include "rule_txn.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "daemon.h"
#include "labels.h"
#include "messages.h"
#include "rule_install.h"
#include "rule_match.h"

namespace kelf::rules::txn {
namespace {

constexpr const char *kFn = "kel_txn_commit";

// One group's staged changes over its committed table, which stays as it
// is while the transaction is open (nothing else may change it).
struct GroupStage {
    bool cleared = false;                                // every committed rule goes
    std::unordered_set<int> removed;                     // committed slots that go
    std::vector<std::unique_ptr<kel_acl_rule_t>> added;  // in staged order; null: removed again
    std::vector<int> added_slot;                         // the slot each takes
    std::unordered_map<int, std::size_t> added_at;       // id -> place in added
    int live_added = 0;
    bool cur_set = false;  // cur replaces kel_cur_rule at the commit
    int cur = 0;
    // The slots taken as the changes so far leave them, once the group is
    // changed: each add takes the slot it would have taken alone.
    std::vector<bool> taken;
    bool goes(int slot) const { return cleared || removed.count(slot) != 0; }
    void follow(const kel_acl_t &t) {
        if (!taken.empty()) return;
        taken.assign(KEL_MAX_RULES, false);
        for (int slot = t.next_taken(0); slot >= 0; slot = t.next_taken(slot + 1))
            taken[static_cast<std::size_t>(slot)] = !goes(slot);
    }
    int take_lowest() {
        auto it = std::find(taken.begin(), taken.end(), false);
        *it = true;  // the capacity check leaves a free slot
        return static_cast<int>(it - taken.begin());
    }
};

class Txn final : public Staged {
public:
    Txn(int unit, int token, std::chrono::milliseconds idle)
        : unit_(unit), token_(token), idle_(idle), last_(Clock::now()) {}
    ~Txn() override { release_staged(); }
    // Lets go of the staged rules without touching the switch (a reset).
    void forget() {
        for (GroupStage &g : g_) g.added.clear();
    }

    int unit() const { return unit_; }
    int token() const { return token_; }
    void seen() { last_ = Clock::now(); }
    Clock::time_point deadline() const { return last_ + idle_; }

    int count(int group) const override {
        const GroupStage &g = g_[static_cast<std::size_t>(group)];
        const kel_acl_t &t = kel_acl[unit_][group];
        int kept = g.cleared ? 0 : t.count() - static_cast<int>(g.removed.size());
        return kept + g.live_added;
    }

    const kel_acl_rule_t *find(int group, int id) const override {
        const GroupStage &g = g_[static_cast<std::size_t>(group)];
        auto it = g.added_at.find(id);
        if (it != g.added_at.end()) return g.added[it->second].get();
        const kel_acl_t &t = kel_acl[unit_][group];
        int slot = t.find(id);
        return slot < 0 || g.goes(slot) ? nullptr : t.at(slot);
    }

    int next_auto_id(int group) override {
        GroupStage &g = g_[static_cast<std::size_t>(group)];
        if (!g.cur_set) {
            g.cur = kel_cur_rule[unit_][group];
            g.cur_set = true;
        }
        do {
            g.cur = g.cur >= kMaxAutoId ? 1 : g.cur + 1;
        } while (find(group, g.cur) != nullptr);
        return g.cur;
    }

    void undo_auto(int group) override { --g_[static_cast<std::size_t>(group)].cur; }
    std::vector<int> ids(int group) const override {
        const GroupStage &g = g_[static_cast<std::size_t>(group)];
        const kel_acl_t &t = kel_acl[unit_][group];
        std::vector<std::pair<int, int>> by_slot;  // slot, id
        for (int slot = t.next_taken(0); slot >= 0 && !g.cleared; slot = t.next_taken(slot + 1))
            if (!g.goes(slot)) by_slot.push_back({slot, t.at(slot)->rule_id});
        for (std::size_t i = 0; i < g.added.size(); ++i)
            if (g.added[i]) by_slot.push_back({g.added_slot[i], g.added[i]->rule_id});
        std::sort(by_slot.begin(), by_slot.end());
        std::vector<int> v;
        for (const auto &e : by_slot) v.push_back(e.second);
        return v;
    }
    int last_auto_id(int group) const override {
        const GroupStage &g = g_[static_cast<std::size_t>(group)];
        return g.cur_set ? g.cur : kel_cur_rule[unit_][group];
    }

    void add(std::unique_ptr<kel_acl_rule_t> r) override {
        GroupStage &g = g_[static_cast<std::size_t>(r->acl)];
        g.follow(kel_acl[unit_][r->acl]);
        g.added_at[r->rule_id] = g.added.size();
        g.added_slot.push_back(g.take_lowest());
        g.added.push_back(std::move(r));
        ++g.live_added;
    }

    void remove(int group, int id) override {
        // A label given to the rule that goes does not pass to one that
        // takes its id later.
        std::erase_if(labels_, [&](const Label &l) { return l.group == group && l.id == id; });
        GroupStage &g = g_[static_cast<std::size_t>(group)];
        g.follow(kel_acl[unit_][group]);
        auto it = g.added_at.find(id);
        if (it != g.added_at.end()) {
            std::unique_ptr<kel_acl_rule_t> &r = g.added[it->second];
            port_set_released(unit_, *r, true);
            r.reset();
            g.taken[static_cast<std::size_t>(g.added_slot[it->second])] = false;
            g.added_at.erase(it);
            --g.live_added;
            return;
        }
        int slot = kel_acl[unit_][group].find(id);
        if (slot >= 0 && !g.cleared) {
            g.removed.insert(slot);
            g.taken[static_cast<std::size_t>(slot)] = false;
        }
    }

    void clear() override {
        labels_.clear();
        release_staged();
        for (GroupStage &g : g_) {
            g = GroupStage{};
            g.cleared = true;
            g.cur_set = true;  // a clear starts the automatic ids again
            g.taken.assign(KEL_MAX_RULES, false);
        }
    }

    bool label(int group, int id, std::string text) override {
        for (Label &l : labels_)
            if (l.group == group && l.id == id) {
                l.text = std::move(text);
                return true;
            }
        // One label for each rule the unit can hold.
        if (labels_.size() >= std::size_t{KEL_MAX_GROUPS} * KEL_MAX_RULES) return false;
        labels_.push_back({group, id, std::move(text)});
        return true;
    }

    int commit();

private:
    struct Label {
        int group, id;
        std::string text;
    };
    std::vector<Label> labels_;  // given once the rules are in force
    struct Step {
        int group;
        const kel_acl_rule_t *rule;
    };
    void release_staged() {
        for (GroupStage &g : g_)
            for (auto &r : g.added)
                if (r) port_set_released(unit_, *r, true);
    }
    void undo(const std::vector<Step> &deleted, const std::vector<Step> &added, bool reapply);

    int unit_, token_;
    std::chrono::milliseconds idle_;
    Clock::time_point last_;
    std::array<GroupStage, KEL_MAX_GROUPS> g_;
};

std::array<std::unique_ptr<Txn>, KEL_MAX_UNITS> open_txn;
Txn *current = nullptr;  // the transaction whose request is being served
int last_token = 0;

__attribute__((format(printf, 1, 2))) void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

Txn *by_token(int token) {
    if (token <= 0) return nullptr;
    for (auto &t : open_txn)
        if (t && t->token() == token) return t.get();
    return nullptr;
}

fm_status add_to_switch(int unit, const kel_acl_rule_t &r) {
    const fm_aclValue value = r.value;
    return fmAddACLRuleExt(unit, r.acl, r.rule_id, r.cond, &value, r.action, &r.param);
}

void Txn::undo(const std::vector<Step> &deleted, const std::vector<Step> &added, bool reapply) {
    bool whole = true;
    for (auto it = added.rbegin(); it != added.rend(); ++it)
        if (fmDeleteACLRule(unit_, it->rule->acl, it->rule->rule_id) != FM_OK) whole = false;
    for (const Step &s : deleted)
        if (add_to_switch(unit_, *s.rule) != FM_OK) whole = false;
    if (!whole)
        say("kel: transaction %d: the switch did not take back all of its changes\n", token_);
    // An apply that failed may have left part of the change in force: the
    // rules as they were are compiled and applied again.
    if (reapply && (compile_acls(unit_, kFn) != FM_OK || apply_acls(unit_, kFn) != FM_OK))
        say("kel: transaction %d: unit %d could not be applied as it was\n", token_, unit_);
}

int Txn::commit() {
    std::vector<Step> deleted, added;
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        const GroupStage &g = g_[static_cast<std::size_t>(group)];
        const kel_acl_t &t = kel_acl[unit_][group];
        if (!g.cleared && g.removed.empty()) continue;
        for (int slot = t.next_taken(0); slot >= 0; slot = t.next_taken(slot + 1)) {
            if (!g.goes(slot)) continue;
            const kel_acl_rule_t *r = t.at(slot);
            if (fmDeleteACLRule(unit_, r->acl, r->rule_id) != FM_OK) {
                std::puts(kelf::msg::kDeleteRuleStateFailed);
                undo(deleted, added, false);
                return -1;
            }
            deleted.push_back({group, r});
        }
    }
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        for (const auto &r : g_[static_cast<std::size_t>(group)].added) {
            if (!r) continue;
            fm_status st = add_to_switch(unit_, *r);
            if (st != FM_OK) {
                KEL_RULE_LOG(kFn, "kel: Failed adding ACL (acl:%d msg:%s)\n", group,
                             fmErrorMsg(st));
                undo(deleted, added, false);
                return -1;
            }
            added.push_back({group, r.get()});
        }
    }
    if (compile_acls(unit_, kFn) != FM_OK) {
        undo(deleted, added, false);
        return -1;
    }
    if (apply_acls(unit_, kFn) != FM_OK) {
        undo(deleted, added, true);
        return -1;
    }
    // In force: the tables follow, each new rule in the slot it would have
    // taken had the changes come one by one.
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        GroupStage &g = g_[static_cast<std::size_t>(group)];
        kel_acl_t &t = kel_acl[unit_][group];
        if (g.cleared || !g.removed.empty()) {
            for (int slot = t.next_taken(0); slot >= 0; slot = t.next_taken(slot + 1)) {
                if (!g.goes(slot)) continue;
                std::unique_ptr<kel_acl_rule_t> gone = t.take(slot);
                port_set_released(unit_, *gone, true);
                kelf::labels::gone(unit_, kelf::labels::Kind::Rule, gone->acl, gone->rule_id);
            }
        }
        for (std::size_t i = 0; i < g.added.size(); ++i)
            if (g.added[i]) t.put(g.added_slot[i], std::move(g.added[i]));
        g.added.clear();
        g.added_at.clear();
        if (g.cur_set) kel_cur_rule[unit_][group] = g.cur;
    }
    for (const Label &l : labels_)
        if (kel_acl[unit_][l.group].find(l.id) >= 0)
            kelf::labels::set(unit_, kelf::labels::Kind::Rule, l.group, l.id, l.text);
    labels_.clear();
    return 0;
}

}  // namespace

int begin(int unit, std::chrono::milliseconds idle) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) {
        say("kel: unit %d is not up: no transaction\n", unit);
        return -1;
    }
    if (open_txn[static_cast<std::size_t>(unit)]) {
        say("kel: unit %d has a transaction open (another client's apply): try again when it "
            "ends\n",
            unit);
        return -1;
    }
    if (idle.count() <= 0) idle = std::chrono::milliseconds(KEL_X_TXN_IDLE_MS);
    idle = std::min(idle, std::chrono::milliseconds(KEL_X_TXN_IDLE_MAX_MS));
    // Tokens start at a random place: one of a daemon before a restart does
    // not name a transaction of the next.
    if (last_token == 0) last_token = static_cast<int>(std::random_device{}() & 0x3FFFFFFF);
    do {
        last_token = last_token >= 0x3FFFFFFF ? 1 : last_token + 1;
    } while (by_token(last_token) != nullptr);
    open_txn[static_cast<std::size_t>(unit)] = std::make_unique<Txn>(unit, last_token, idle);
    return last_token;
}

int commit(int token) {
    Txn *t = by_token(token);
    if (t == nullptr) {
        say("kel: transaction %d is not open (committed, aborted or idle too long)\n", token);
        return -1;
    }
    const int unit = t->unit();
    int ret = t->commit();
    if (ret != 0) say("kel: transaction %d not committed: unit %d is as before it\n", token, unit);
    open_txn[static_cast<std::size_t>(unit)].reset();
    return ret;
}

int abort(int token) {
    Txn *t = by_token(token);
    if (t == nullptr) {
        say("kel: transaction %d is not open (committed, aborted or idle too long)\n", token);
        return -1;
    }
    open_txn[static_cast<std::size_t>(t->unit())].reset();
    return 0;
}

Scope::Scope(int token) {
    Txn *t = by_token(token);
    if (t == nullptr) {
        say("kel: transaction %d is not open (committed, aborted or idle too long)\n", token);
        return;
    }
    t->seen();
    current = t;
    unit_ = t->unit();
}

Scope::~Scope() {
    if (current != nullptr && unit_ >= 0) {
        current->seen();
        current = nullptr;
    }
}

Staged *staging(int unit) {
    return current != nullptr && current->unit() == unit ? current : nullptr;
}

bool refused(int unit) {
    if (unit < 0 || unit >= KEL_MAX_UNITS) return false;
    const Txn *t = open_txn[static_cast<std::size_t>(unit)].get();
    if (t == nullptr || t == current) return false;
    say("kel: unit %d has a transaction open (another client's apply): its rules change only "
        "within it\n",
        unit);
    return true;
}

Clock::duration expire(Clock::time_point now) {
    Clock::duration next = Clock::duration::max();
    for (auto &t : open_txn) {
        if (!t) continue;
        if (t->deadline() <= now) {
            say("kel: transaction %d on unit %d aborted: no request came for its bound\n",
                t->token(), t->unit());
            t.reset();
            continue;
        }
        next = std::min(next, t->deadline() - now);
    }
    return next;
}

void reset() {
    current = nullptr;
    for (auto &t : open_txn) {
        if (t) t->forget();
        t.reset();
    }
}

}  // namespace kelf::rules::txn
