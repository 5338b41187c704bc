// rule_txn.h - transactions on a unit's rules: changes staged one request
// at a time, each checked as it is made (capacity, ids, ports, references)
// but none in force, until a commit makes all of them take force at once,
// with one compile and one apply of the unit. Frames meet the old rules or
// the new ones, never a mix. A commit that fails leaves the unit as it was.
//
// While a unit has a transaction open, its rules change only through it;
// the other requests that would change them are refused with a line saying
// why. Reads see the unit as committed. A transaction that sees no request
// for its idle bound is aborted.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "rule_table.h"

namespace kelf::rules::txn {

using Clock = std::chrono::steady_clock;

// Opens a transaction on the unit (a switch that is up) and answers its
// token (positive), or -1 after the line saying why (a unit that has one
// open already, a unit not up). idle 0 takes the default bound.
int begin(int unit, std::chrono::milliseconds idle);
// Commits or aborts the transaction of token: 0, or -1 after the reason
// (the token names no open transaction; the switch refused the change, in
// which case the unit is as before the transaction).
int commit(int token);
int abort(int token);

// The requests of one transaction: while a Scope of a valid token lives,
// the rule commands of its unit stage into it. ok() is false (after the
// reason) when the token names no open transaction.
class Scope {
public:
    explicit Scope(int token);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    bool ok() const { return unit_ >= 0; }
    int unit() const { return unit_; }

private:
    int unit_ = -1;
};

// What the rule commands ask. staging(unit): the transaction a change of
// the unit goes into, and whose staged state its own reads see; nullptr
// outside a Scope of that unit. refused(unit):
// true, after the line saying why, when another client's transaction holds
// the unit, so that a change from outside must not be made.
class Staged;
Staged *staging(int unit);
bool refused(int unit);

// The staged view of one unit, as the rule commands see it.
class Staged {
public:
    virtual ~Staged() = default;
    // Rules the group will hold, and the rule of that id it will hold.
    virtual int count(int group) const = 0;
    virtual const kel_acl_rule_t *find(int group, int id) const = 0;
    // The automatic id, as next_auto_id would choose it after the staged
    // changes; undo_auto gives it back after a failed add.
    virtual int next_auto_id(int group) = 0;
    virtual void undo_auto(int group) = 0;
    // The ids the group will hold: the committed ones that stay, in slot
    // order, then the staged adds in their order.
    virtual std::vector<int> ids(int group) const = 0;
    // The id most recently handed out automatically, as staged.
    virtual int last_auto_id(int group) const = 0;
    // Stages the changes; add takes a rule whose port set it holds.
    virtual void add(std::unique_ptr<kel_acl_rule_t> r) = 0;
    virtual void remove(int group, int id) = 0;
    virtual void clear() = 0;
    // Gives a staged rule its label once the commit puts it in force;
    // false when the transaction holds a label for every rule a unit can.
    virtual bool label(int group, int id, std::string text) = 0;
};

// Aborts the transactions idle past their bound; the time until the next
// one would be, or max() when none is open.
Clock::duration expire(Clock::time_point now);

// Aborts every transaction (the daemon's reset, its shutdown).
void reset();

}  // namespace kelf::rules::txn
