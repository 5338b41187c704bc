#include "staging.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <thread>

#include "rule.h"

namespace kelfctl {
namespace {

volatile std::sig_atomic_t got_signal = 0;

extern "C" void on_signal(int sig) {
    got_signal = sig;
}

// How long a command waits for another client's transaction on a unit.
constexpr std::chrono::seconds kWaitForHolder{60};
constexpr std::chrono::milliseconds kRetry{50}, kRetryMax{500};
// How long kelfd keeps a transaction of kelfctl's that sees no request.
constexpr std::chrono::milliseconds kIdle{60000};

}  // namespace

struct Staging::Handlers {
    struct sigaction old_int {
    }, old_term{}, old_hup{};
    Handlers() {
        struct sigaction sa {};
        sa.sa_handler = on_signal;  // no SA_RESTART: a wait for kelfd ends at once
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
        sigaction(SIGHUP, &sa, &old_hup);
    }
    ~Handlers() {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        sigaction(SIGHUP, &old_hup, nullptr);
    }
};

namespace {

std::int32_t status_of(const std::vector<unsigned char> &r) {
    std::int32_t v = -1;
    if (r.size() == 4) std::memcpy(&v, r.data(), 4);
    return v;
}

}  // namespace

Staging::Staging(Session &s, std::string what) : s_(s), what_(std::move(what)) {
    outer_ = s.staging;
    // A command inside another's staging (a batch line) stages with it.
    if (outer_ == nullptr) s.staging = this;
}

bool Staging::atomic() {
    if (outer_ != nullptr) return outer_->atomic();
    // Asked at the first change, so that a batch of commands that need no
    // kelfd still runs without one.
    if (!known_) {
        known_ = true;
        atomic_ = s_.extensions().serves(KEL_X_TXN_BEGIN) && s_.extensions().serves(KEL_X_TXN);
        if (!atomic_)
            s_.err() << "kelfctl: kelfd has no transactions: " << what_
                     << " is not atomic (a failure or an interrupt leaves part of it made)\n";
    }
    return atomic_;
}

bool Staging::holding() const {
    return outer_ != nullptr ? outer_->holding() : !tokens_.empty();
}

Staging::~Staging() {
    if (s_.staging == this) s_.staging = outer_;
    if (outer_ != nullptr) return;
    const int sig = got_signal;
    if (!tokens_.empty()) {
        abort_all();
        s_.cache.clear();  // what the session read may include changes now dropped
        if (sig != 0)
            s_.err() << "kelfctl: interrupted: " << what_
                     << " aborted; its rule changes did not take force, the switch is as it was\n";
    }
    handlers_.reset();
    got_signal = 0;
    // An interrupt that came after the last commit ends kelfctl as it would
    // have without a transaction.
    if (sig != 0 && std::uncaught_exceptions() == 0) std::raise(sig);
}

bool Staging::interrupted() {
    return got_signal != 0;
}

void Staging::check_interrupt() {
    if (got_signal == 0) return;
    throw Failure(kExitRefused, "interrupted before " + what_ + " was committed");
}

void Staging::hold(int unit) {
    if (outer_ != nullptr) return outer_->hold(unit);
    if (tokens_.count(unit) || done_.count(unit) || !atomic()) return;
    if (!handlers_) handlers_ = std::make_unique<Handlers>();
    kel_x_begin_t b{};
    b.kel_cmd = KEL_X_TXN_BEGIN;
    b.unit = unit;
    // A long plan of another unit must not let this one's lapse.
    b.idle_ms = static_cast<std::uint32_t>(kIdle.count());
    const auto until = std::chrono::steady_clock::now() + kWaitForHolder;
    bool said = false;
    std::chrono::milliseconds wait = kRetry;
    for (;;) {
        check_interrupt();
        std::string before = s_.reason;
        std::int32_t tok = status_of(s_.raw(&b, sizeof b));
        if (tok > 0) {
            tokens_[unit] = tok;
            if (said) s_.err() << "kelfctl: unit " << unit << " is free: " << what_ << " goes on\n";
            return;
        }
        // Another client's transaction holds the unit: wait for its end.
        if (s_.reason.find("has a transaction open") == std::string::npos ||
            std::chrono::steady_clock::now() >= until)
            refused("cannot start " + what_ + " on unit " + std::to_string(unit) +
                    ": kelfd refused the transaction");
        if (!said)
            s_.err() << "kelfctl: another client's apply holds unit " << unit
                     << ": waiting (at most " << kWaitForHolder.count() << " s)\n";
        said = true;
        s_.reason = before;
        std::this_thread::sleep_for(wait);
        wait = std::min(wait * 2, kRetryMax);  // each refusal is a line in kelfd's log
    }
}

int Staging::token_for(int unit) {
    if (done_.count(unit) || !atomic()) return 0;
    if (!tokens_.count(unit)) hold(unit);
    auto it = tokens_.find(unit);
    return it == tokens_.end() ? 0 : it->second;
}

int Staging::open_token(int unit) const {
    auto it = tokens_.find(unit);
    return it == tokens_.end() ? 0 : it->second;
}

void Staging::commit(int unit) {
    // Inside another command's staging (an apply in a batch), the batch's
    // transaction of the unit commits: objects removed after this point
    // must not be used by rules still in force.
    if (outer_ != nullptr) return outer_->commit(unit);
    auto it = tokens_.find(unit);
    done_.insert(unit);
    if (it == tokens_.end()) return;
    check_interrupt();
    // What waits goes first, while the transaction is still ours to abort
    // should kelfd refuse some of it.
    s_.flush();
    kel_x_token_t t{KEL_X_TXN_COMMIT, it->second};
    tokens_.erase(it);
    // The copy of a group changed before it was read is kelfd's committed
    // one without those changes: read it again when next needed.
    Session::UnitCache &c = s_.cache[unit];
    for (int g : c.blind) c.rules.erase(g), c.keys.erase(g), c.ids.erase(g);
    c.blind.clear();
    c.auto_ids.reset();
    std::int32_t st = status_of(s_.raw(&t, sizeof t));
    if (st != 0) {
        s_.cache.clear();
        refused("kelfd could not commit " + what_ + " on unit " + std::to_string(unit) +
                ": its rule changes did not take force, the unit is as it was");
    }
}

void Staging::commit_all() {
    while (!tokens_.empty()) commit(tokens_.begin()->first);
}

void Staging::abort_all() {
    s_.drop_deferred();  // the transaction they were for goes
    for (const auto &[unit, tok] : tokens_) {
        kel_x_token_t t{KEL_X_TXN_ABORT, tok};
        try {
            s_.raw(&t, sizeof t);
        } catch (const Failure &) {
            // kelfd ends a transaction whose client went quiet by itself.
        }
    }
    tokens_.clear();
}

}  // namespace kelfctl
