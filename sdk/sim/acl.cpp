// acl.cpp - fmsim's ACLs: per switch the numbered ACLs with their rules
// exactly as added, a frame counter per rule, and whether the switch's
// changes have been compiled and applied; and the port sets rules match on.
//
// The rules frames meet are those in force: each change is noted in a
// journal, a compile takes the journal's entries as compiled, and an apply
// hands the compiled entries to the switch's classifier. So the cost of an
// apply is that of the rules changed since the last one, not of every rule.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "classifier.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "sim.h"

namespace {

// A switch holds this many port sets at most, as the hardware's table does.
constexpr int kMaxPortSets = 256;

// A rule exactly as added, with its frame counter; never changed once
// added, and shared with the classifier while it is in force.
using Rule = fmsim::RuleRef;

using RuleKey = std::pair<fm_int, fm_int>;  // ACL, rule
// A change to one rule: its new content, or nullptr for a removal.
using Journal = std::map<RuleKey, Rule>;

struct Acl {
    fm_uint32 scenarios = 0;
    fm_int precedence = 0;
    // Its rules by number: a sorted array, a few bytes per rule where a
    // tree spends a block on each. Rules mostly come and go at its end.
    std::vector<std::pair<fm_int, Rule>> rules;
    auto find(fm_int rule) {
        auto it = std::lower_bound(rules.begin(), rules.end(), rule,
                                   [](const auto &e, fm_int n) { return e.first < n; });
        return it != rules.end() && it->first == rule ? it : rules.end();
    }
    void insert(fm_int rule, Rule r) {
        auto it = std::lower_bound(rules.begin(), rules.end(), rule,
                                   [](const auto &e, fm_int n) { return e.first < n; });
        rules.emplace(it, rule, std::move(r));
    }
};

struct SwitchAcls {
    std::map<fm_int, Acl> acls;
    std::size_t rule_count = 0;
    // Generations: every change raises `changed`; a compile takes it into
    // `compiled`, an apply puts `compiled` into force. Compiling costs the
    // same whatever the ACLs hold.
    std::uint64_t changed = 0, compiled = 0, applied = 0;
    std::map<fm_int, std::set<fm_int>> port_sets;
    std::map<fm_int, int> port_set_users;  // rules matching on each set
    fm_int next_port_set = 0;
    Journal uncompiled, unapplied;
};

// The rules in force, per switch; apart from SwitchAcls, which is copied
// when the switches are reset.
std::vector<fmsim::Classifier> &live() {
    static auto *l = new std::vector<fmsim::Classifier>(FM_MAX_NUM_SWITCHES);
    return *l;
}

// Rule frame counters live side by side in large blocks rather than one
// heap block each: a frame that hits a rule in each of many ACLs increments
// one counter per hit, and a compact pool keeps those increments in cache.
// A released counter's place is reused; blocks are never returned (the pool
// is as large as the most rules ever held at once).
class CounterPool {
public:
    std::uint64_t *make() {
        if (free_.empty()) {
            blocks_.push_back(std::make_unique<std::uint64_t[]>(kBlock));
            std::uint64_t *b = blocks_.back().get();
            for (std::size_t i = kBlock; i-- > 0;) free_.push_back(b + i);
        }
        std::uint64_t *c = free_.back();
        free_.pop_back();
        *c = 0;
        return c;
    }
    void release(std::uint64_t *c) {
        // The last holder may let go outside an SDK call.
        std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
        free_.push_back(c);
    }

private:
    static constexpr std::size_t kBlock = 4096;
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
    std::vector<std::uint64_t *> free_;
};

CounterPool &counter_pool() {
    static auto *p = new CounterPool;  // outlives every counter
    return *p;
}

std::vector<SwitchAcls> &state() {
    static auto *s = new std::vector<SwitchAcls>;
    return *s;
}

void reset_acls() {
    state().assign(FM_MAX_NUM_SWITCHES, SwitchAcls{});
    for (auto &c : live()) c.clear();
}

struct Init {
    Init() {
        reset_acls();
        fmsim::on_reset(reset_acls);
    }
} init;

SwitchAcls *find(fm_int sw) {
    if (fmsim::find_switch(sw) == nullptr) return nullptr;
    return &state()[static_cast<size_t>(sw)];
}

// The ACL, or nullptr with *status saying why not.
Acl *find_acl(fm_int sw, fm_int acl, fm_status *status) {
    SwitchAcls *s = find(sw);
    if (s == nullptr) {
        *status = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    auto it = s->acls.find(acl);
    if (it == s->acls.end()) {
        *status = FM_ERR_INVALID_ACL;
        return nullptr;
    }
    return &it->second;
}

const fmsim::LiveRule *find_rule(fm_int sw, fm_int acl, fm_int rule, fm_status *status) {
    Acl *a = find_acl(sw, acl, status);
    if (a == nullptr) return nullptr;
    auto it = a->find(rule);
    if (it == a->rules.end()) {
        *status = FM_ERR_INVALID_ACL_RULE;
        return nullptr;
    }
    return it->second.get();
}

// Compiles and applies that succeeded, per switch: what a benchmark of the
// daemon's rule changes reads to see how often it asked the chip for them.
struct AclWork {
    std::uint64_t compiles = 0, applies = 0;
};

std::vector<AclWork> &work() {
    static auto *w = new std::vector<AclWork>(FM_MAX_NUM_SWITCHES);
    return *w;
}

struct InitWork {
    InitWork() {
        fmsim::on_reset([] { work().assign(FM_MAX_NUM_SWITCHES, AclWork{}); });
    }
} init_work;

// FMSIM_COMPILE_NS_PER_RULE: what a compile costs per rule the switch
// holds, in nanoseconds; unset or 0, nothing. A value that is no number
// from 0 to 1e9 is reported once and leaves the cost off.
std::uint64_t compile_ns_per_rule() {
    const char *v = std::getenv("FMSIM_COMPILE_NS_PER_RULE");
    if (v == nullptr || *v == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v, &end, 10);
    if (*end != '\0' || errno != 0 || *v == '-' || n > 1000000000ull) {
        static bool told = false;
        if (!told)
            std::fprintf(stderr,
                         "fmsim: FMSIM_COMPILE_NS_PER_RULE must be a number from 0 to "
                         "1000000000, not '%s': compiles cost nothing\n",
                         v);
        told = true;
        return 0;
    }
    return n;
}

// Spends the compile's cost on the CPU, as the chip's SDK does: a spin on
// the steady clock, exact for the microseconds a small table costs where a
// sleep would overshoot them. fmsim's lock stays held, as the SDK's does.
void spend_compile_cost(std::size_t rules) {
    std::uint64_t per_rule = compile_ns_per_rule();
    if (per_rule == 0 || rules == 0) return;
    constexpr std::uint64_t kMax = 86400ull * 1000000000ull;  // a day: no clock overflow
    std::uint64_t ns = rules > kMax / per_rule ? kMax : per_rule * rules;
    auto until =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
    while (std::chrono::steady_clock::now() < until) {
    }
}

}  // namespace

extern "C" {

fm_status fmGetACL(fm_int sw, fm_int acl, fm_aclArguments *args) {
    FMSIM_ENTER("fmGetACL");
    fm_status st;
    Acl *a = find_acl(sw, acl, &st);
    if (a == nullptr) return st;
    if (args == nullptr) return FM_ERR_INVALID_ARGUMENT;
    args->scenarios = a->scenarios;
    args->precedence = a->precedence;
    return FM_OK;
}

fm_status fmCreateACLExt(fm_int sw, fm_int acl, fm_uint32 scenarios, fm_int precedence) {
    FMSIM_ENTER("fmCreateACLExt");
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (acl < 0) return FM_ERR_INVALID_ACL;
    if (scenarios == 0) return FM_ERR_INVALID_ARGUMENT;
    if (s->acls.count(acl)) return FM_ERR_ALREADY_EXISTS;
    Acl &a = s->acls[acl];
    a.scenarios = scenarios;
    a.precedence = precedence;
    ++s->changed;
    return FM_OK;
}

fm_status fmAddACLRuleExt(fm_int sw, fm_int acl, fm_int rule, fm_aclCondition cond,
                          const fm_aclValue *value, fm_aclActionExt action,
                          const fm_aclParamExt *param) {
    FMSIM_ENTER("fmAddACLRuleExt");
    fm_status st;
    Acl *a = find_acl(sw, acl, &st);
    if (a == nullptr) return st;
    if (value == nullptr || param == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (rule < 0) return FM_ERR_INVALID_ACL_RULE;
    if (a->find(rule) != a->rules.end()) return FM_ERR_ALREADY_EXISTS;
    SwitchAcls &s = state()[static_cast<size_t>(sw)];
    if ((cond & FM_ACL_MATCH_INGRESS_PORT_SET) && !s.port_sets.count(value->portSet))
        return FM_ERR_INVALID_PORT_SET;
    if ((action & FM_ACL_ACTIONEXT_REDIRECT) &&
        fmsim::find_port(sw, param->logicalPort) == nullptr &&
        !fmsim::mcast_port(sw, param->logicalPort))
        return FM_ERR_INVALID_PORT;
    auto *made = new fmsim::LiveRule;
    Rule r(made);
    made->acl = acl;
    made->rule = rule;
    made->cond = cond;
    made->value = *value;
    made->action = action;
    made->param = *param;
    made->frames.reset(counter_pool().make());
    a->insert(rule, r);
    s.uncompiled[{acl, rule}] = std::move(r);
    if (cond & FM_ACL_MATCH_INGRESS_PORT_SET) ++s.port_set_users[value->portSet];
    ++s.rule_count;
    ++s.changed;
    return FM_OK;
}

fm_status fmDeleteACLRule(fm_int sw, fm_int acl, fm_int rule) {
    FMSIM_ENTER("fmDeleteACLRule");
    fm_status st;
    Acl *a = find_acl(sw, acl, &st);
    if (a == nullptr) return st;
    auto it = a->find(rule);
    if (it == a->rules.end()) return FM_ERR_INVALID_ACL_RULE;
    SwitchAcls &s = state()[static_cast<size_t>(sw)];
    if (it->second->cond & FM_ACL_MATCH_INGRESS_PORT_SET) {
        auto u = s.port_set_users.find(it->second->value.get().portSet);
        if (u != s.port_set_users.end() && --u->second == 0) s.port_set_users.erase(u);
    }
    a->rules.erase(it);
    s.uncompiled[{acl, rule}] = nullptr;
    --s.rule_count;
    ++s.changed;
    return FM_OK;
}

fm_status fmCompileACL(fm_int sw, fm_char *statusText, fm_int statusTextLength, fm_uint32 flags) {
    FMSIM_ENTER("fmCompileACL");
    (void)flags;
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (statusTextLength < 0 || (statusText == nullptr && statusTextLength > 0))
        return FM_ERR_INVALID_ARGUMENT;
    if (statusText != nullptr && statusTextLength > 0)
        std::snprintf(statusText, static_cast<size_t>(statusTextLength),
                      "compiled %zu rules in %zu ACLs", s->rule_count, s->acls.size());
    s->compiled = s->changed;
    for (auto &[key, change] : s->uncompiled) s->unapplied[key] = std::move(change);
    s->uncompiled.clear();
    spend_compile_cost(s->rule_count);
    ++work()[static_cast<size_t>(sw)].compiles;
    return FM_OK;
}

fm_status fmApplyACL(fm_int sw, fm_uint32 flags) {
    FMSIM_ENTER("fmApplyACL");
    (void)flags;
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    s->applied = s->compiled;
    fmsim::Classifier &c = live()[static_cast<size_t>(sw)];
    for (auto &[key, change] : s->unapplied) {
        if (change)
            c.add(std::move(change));
        else
            c.remove(key.first, key.second);
    }
    s->unapplied.clear();
    ++work()[static_cast<size_t>(sw)].applies;
    return FM_OK;
}

fm_status fmGetACLCount(fm_int sw, fm_int acl, fm_int rule, fm_uint64 *frameCount) {
    FMSIM_ENTER("fmGetACLCount");
    fm_status st;
    const fmsim::LiveRule *r = find_rule(sw, acl, rule, &st);
    if (r == nullptr) return st;
    if (frameCount == nullptr) return FM_ERR_INVALID_ARGUMENT;
    // Only a rule with the count action has a counter.
    if (!(r->action & FM_ACL_ACTIONEXT_COUNT)) return FM_ERR_INVALID_ACL_RULE;
    *frameCount = *r->frames;
    return FM_OK;
}

fm_status fmCreatePortSet(fm_int sw, fm_int *portSet) {
    FMSIM_ENTER("fmCreatePortSet");
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (portSet == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (s->port_sets.size() >= kMaxPortSets) return FM_ERR_TABLE_FULL;
    while (s->port_sets.count(s->next_port_set)) ++s->next_port_set;
    *portSet = s->next_port_set++;
    s->port_sets[*portSet];
    return FM_OK;
}

fm_status fmDeletePortSet(fm_int sw, fm_int portSet) {
    FMSIM_ENTER("fmDeletePortSet");
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (!s->port_sets.count(portSet)) return FM_ERR_INVALID_PORT_SET;
    if (s->port_set_users.count(portSet)) return FM_ERR_INVALID_STATE;  // a rule still uses it
    s->port_sets.erase(portSet);
    return FM_OK;
}

fm_status fmAddPortSetPort(fm_int sw, fm_int portSet, fm_int port) {
    FMSIM_ENTER("fmAddPortSetPort");
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    auto it = s->port_sets.find(portSet);
    if (it == s->port_sets.end()) return FM_ERR_INVALID_PORT_SET;
    if (fmsim::find_port(sw, port) == nullptr) return FM_ERR_INVALID_PORT;
    it->second.insert(port);
    return FM_OK;
}

fm_status fmGetPortSetPortFirst(fm_int sw, fm_int portSet, fm_int *port) {
    FMSIM_ENTER("fmGetPortSetPortFirst");
    SwitchAcls *s = find(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    auto it = s->port_sets.find(portSet);
    if (it == s->port_sets.end()) return FM_ERR_INVALID_PORT_SET;
    if (port == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (it->second.empty()) {
        *port = -1;
        return FM_ERR_NO_MORE;
    }
    *port = *it->second.begin();
    return FM_OK;
}

}  // extern "C"

bool fmsim_acl_exists(int sw, int acl) {
    return fmsim_acl_args(sw, acl, nullptr, nullptr);
}

bool fmsim_acl_args(int sw, int acl, std::uint32_t *scenarios, int *precedence) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    Acl *a = find_acl(sw, acl, &st);
    if (a == nullptr) return false;
    if (scenarios) *scenarios = a->scenarios;
    if (precedence) *precedence = a->precedence;
    return true;
}

std::vector<int> fmsim_acl_rules(int sw, int acl) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    std::vector<int> ids;
    fm_status st;
    if (Acl *a = find_acl(sw, acl, &st))
        for (const auto &[id, r] : a->rules) ids.push_back(id);
    return ids;
}

bool fmsim_acl_rule(int sw, int acl, int rule, FmsimAclRule *out) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    const fmsim::LiveRule *r = find_rule(sw, acl, rule, &st);
    if (r == nullptr) return false;
    if (out) *out = {rule, r->cond, r->value.get(), r->action, r->param, *r->frames};
    return true;
}

bool fmsim_acl_set_frames(int sw, int acl, int rule, std::uint64_t frames) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    const fmsim::LiveRule *r = find_rule(sw, acl, rule, &st);
    if (r == nullptr) return false;
    *r->frames = frames;
    return true;
}

bool fmsim_acl_stats(int sw, FmsimAclStats *out) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    SwitchAcls *s = find(sw);
    if (s == nullptr) return false;
    const AclWork &w = work()[static_cast<size_t>(sw)];
    if (out) *out = {w.compiles, w.applies, s->rule_count};
    return true;
}

bool fmsim_acl_in_force(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    SwitchAcls *s = find(sw);
    return s != nullptr && s->applied == s->changed;
}

std::vector<int> fmsim_port_set_ports(int sw, int portSet) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    SwitchAcls *s = find(sw);
    if (s == nullptr) return {};
    auto it = s->port_sets.find(portSet);
    if (it == s->port_sets.end()) return {};
    return {it->second.begin(), it->second.end()};
}

bool fmsim_port_set_exists(int sw, int portSet) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    SwitchAcls *s = find(sw);
    return s != nullptr && s->port_sets.count(portSet) != 0;
}

int fmsim_port_set_count(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    SwitchAcls *s = find(sw);
    return s ? static_cast<int>(s->port_sets.size()) : 0;
}

namespace fmsim {

void CounterRelease::operator()(std::uint64_t *counter) const {
    counter_pool().release(counter);
}

const Classifier &live_rules(fm_int sw) {
    return live()[static_cast<size_t>(sw)];
}

const PortSets &port_sets(fm_int sw) {
    return state()[static_cast<size_t>(sw)].port_sets;
}

}  // namespace fmsim
