// staging.h - a command's rule changes made all at once: while a Staging
// lives, the session's rule changes of each unit go into a transaction of
// that unit (begun at its first change, or by hold), and take force at
// commit, with one compile. Leaving without a commit (a failure, an
// interrupt) aborts them: the units stay as they were. A daemon without
// transactions gets the changes one by one, and the command says that it
// is not atomic.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "session.h"

namespace kelfctl {

class Staging {
public:
    // what names the command in messages ("apply", "the batch").
    Staging(Session &s, std::string what);
    ~Staging();
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    // True when kelfd stages (it has transactions); asks kelfd once, and
    // says so when it does not.
    bool atomic();
    // True while a transaction of this command is open.
    bool holding() const;
    // False inside another command's staging (a batch), which commits.
    bool outermost() const { return outer_ == nullptr; }
    // Opens the unit's transaction now, waiting while another client holds
    // the unit (saying so once).
    void hold(int unit);
    // Commits the unit's transaction (if one is open); its later changes go
    // straight to the switch. A refused commit is a refusal: the unit is as
    // before.
    void commit(int unit);
    void commit_all();
    // The token a rule change of the unit travels in; 0 when it goes alone.
    int token_for(int unit);
    // The unit's open transaction, for reads that should see what it
    // staged; 0 when none is open (none is begun for a read).
    int open_token(int unit) const;
    // Set by the signal handler: the command was interrupted.
    static bool interrupted();
    // Fails (after aborting) when an interrupt came.
    void check_interrupt();

private:
    void abort_all();
    Session &s_;
    std::string what_;
    bool atomic_ = false, known_ = false;
    std::map<int, int> tokens_;  // unit -> open transaction
    std::set<int> done_;         // units committed: later changes go alone
    Staging *outer_ = nullptr;
    struct Handlers;
    std::unique_ptr<Handlers> handlers_;  // while a transaction is open
};

}  // namespace kelfctl
