// session.h - what every command needs: its words, the way to kelfd, the
// unit and output mode, and the three ways a command fails.
#pragma once

#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "output.h"
#include "values.h"
#include "words.h"

namespace kelfctl {

struct RuleDef;  // rule.h

enum ExitStatus { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitUnreachable = 3 };

// A command that cannot go on. Usage failures get a pointer to the help of
// the object in use appended when printed.
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &msg)
        : std::runtime_error(msg), status(exit_status) {}
    int status;
    bool printed = false;  // the command printed its JSON document already
};
[[noreturn]] void usage(const std::string &msg);
[[noreturn]] void refused(const std::string &msg);
// Where kelfd's messages are, the switch's reasons for a refusal among
// them: every failure that sends the operator to them says it so.
extern const char kKelfdLogsWhy[];

// The words of one command, consumed from the front.
class Args {
public:
    explicit Args(std::vector<std::string> words) : w_(std::move(words)) {}
    bool done() const { return i_ >= w_.size(); }
    std::string_view peek() const { return done() ? std::string_view() : w_[i_]; }
    // The next word; a usage failure naming what was expected when none is left.
    std::string next(std::string_view what);
    // Takes the next word if it is kw (or alias).
    bool accept(std::string_view kw, std::string_view alias = {});
    // The next word as one of choices, whole or by a prefix only it has;
    // a usage failure naming the word otherwise.
    std::string_view keyword(const std::vector<Choice> &choices, std::string_view kind,
                             std::string_view where = {});
    // Takes the next word when it is one of choices (whole or a prefix);
    // leaves a word that is none of them.
    std::optional<std::string_view> accept_any(const std::vector<Choice> &choices,
                                               std::string_view kind);
    std::int64_t number(std::string_view what, std::int64_t lo, std::int64_t hi);
    int port(std::string_view what, int lo = 0, int hi = 65535) {
        return static_cast<int>(number(what, lo, hi));
    }
    std::uint32_t u32(std::string_view what) {
        return static_cast<std::uint32_t>(number(what, 0, UINT32_MAX));
    }
    std::vector<int> ports(std::string_view what, int lo, int hi, int all_hi = 0);
    bool on_off(std::string_view what);
    // A usage failure for a word left over.
    void finish() const;

private:
    std::vector<std::string> w_;
    std::size_t i_ = 0;
};

// Runs a value parser, turning its error into a usage failure.
template <class F>
auto value(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const ValueError &e) {
        usage(e.what());
    }
}

// The ports of a unit as kelfd brings a switch up: the CPU port 0, card
// ports 1 to 48 (Ethernet 1 to 40, PCI Express 41 to 48) and the internal
// logical ports 50000 to 50003. Each command family takes its own part of
// them, said in its help; a port outside it is refused before anything is
// sent, in the same words everywhere.
enum class PortFamily {
    Card,     // 1 to 48: port properties, groups, mirrors, listeners, redirects
    Mask,     // 1 to 47: port masks
    Counted,  // 0 to 48: counters
    RuleIn,   // 1 to 48 and 50000 to 50003: a rule's in-port
    Any,      // 0 to 48 and 50000 to 50003: the port table
};
constexpr int kCardPorts = KEL_MAX_PORTS;
constexpr int kInternalFirst = 50000, kInternalLast = 50003;
const char *port_kind(int port);  // "cpu", "ethernet", "pcie", "internal"
bool port_in(PortFamily f, int port);
std::string port_family_text(PortFamily f);  // "ports 1 to 48"
// what: 'P' is not a port of unit U (ports 1 to 48)
[[noreturn]] void bad_port(std::string_view what, int port, int unit, PortFamily f);

// One request, one reply. Tests put a fake in its place.
class Transport {
public:
    virtual ~Transport() = default;
    virtual kelfclient::Status exchange(const void *request, std::size_t len,
                                        std::vector<unsigned char> *reply) = 0;
    virtual std::string where() const = 0;
};

// The length of a request without its zero tail (at least 8 bytes): kelfd
// reads missing bytes as zero, so they need not travel.
std::size_t trimmed(const void *request, std::size_t len);

// The daemon's socket.
class SocketTransport : public Transport {
public:
    explicit SocketTransport(std::string path,
                             std::chrono::milliseconds timeout = kelfclient::kDefaultTimeout)
        : client_(std::move(path), timeout) {}
    kelfclient::Status exchange(const void *request, std::size_t len,
                                std::vector<unsigned char> *reply) override;
    std::string where() const override { return client_.socket_path(); }

private:
    kelfclient::Client client_;
};

class Staging;  // staging.h

// What kelfd said of its own protocol extensions (its hello).
struct DaemonExtensions {
    bool have = false;        // it answered the hello
    std::uint64_t codes = 0;  // bit (code - KEL_X_FIRST) for each code it serves
    std::string version;
    bool serves(std::uint32_t code) const {
        return have && code >= KEL_X_FIRST && code <= KEL_X_LAST &&
               ((codes >> (code - KEL_X_FIRST)) & 1u) != 0;
    }
};

class Session {
public:
    Session(Transport &t, std::ostream &out, std::ostream &err);
    ~Session();

    int unit = 0;
    bool json = false;
    bool pretty = false;    // -p: indented JSON
    bool stats = false;     // -s: counters in listings
    bool details = false;   // -d: every field, or the `rule add` lines
    bool force = false;     // --force: past reference checks (and, with -b, failures)
    bool terminal = false;  // standard output is a terminal
    // Whether requests need the unit up; the daemon and raw objects do not.
    bool check_unit = true;
    // The directory of kelfd's socket, where apply keeps its record; empty
    // when the transport is not a socket.
    std::string run_dir;

    // Parts of the daemon's state this session has read, kept while it runs
    // so that a batch of thousands of commands asks once: the switch count,
    // and per unit the rules of each group (updated by the session's own
    // adds and deletes).
    struct UnitCache {
        std::map<int, std::vector<RuleDef>> rules;  // group -> rules, slot order
        // group -> what each held rule matches and does -> its id, for the
        // duplicate check (built from rules when first needed)
        std::map<int, std::unordered_map<std::string, std::int64_t>> keys;
        // group -> the ids its rules hold (built from rules when first needed)
        std::map<int, std::unordered_set<std::int64_t>> ids;
        std::optional<std::vector<int>> lbgs, mirrors;  // as kelfd lists them
        bool lbgs_whole = true, mirrors_whole = true;   // the list was not cut
        // While staging: per group the id kelfd handed out automatically
        // last, as the transaction sees it (asked once, then followed), and
        // the groups changed before the session read them, whose copy
        // above is kelfd's committed one.
        std::optional<std::array<int, KEL_MAX_GROUPS>> auto_ids;
        std::set<int> blind;
    };
    std::optional<int> switches;
    std::map<int, UnitCache> cache;

    // kelfd's extensions, asked once (its hello); none when it refuses it.
    const DaemonExtensions &extensions();
    // The lines kelfd printed while serving the last request of this
    // command that made it print any: the reason of a refusal.
    std::string reason;
    // While set, rule changes go into the unit's transaction (staging.h).
    Staging *staging = nullptr;
    // Staged rule changes whose answer is known before it comes (an add
    // with its own id, a removal) wait here and travel many to a request;
    // flush() sends them (any other request does first). A refusal among
    // them is a refusal of the command that flushes.
    void flush();
    // Forgets the waiting changes (their transaction is aborted).
    void drop_deferred() { deferred_.clear(), deferred_bytes_ = 0; }
    // The unit's last automatic ids as its transaction sees them, when
    // kelfd can stage changes many to a request; nullptr otherwise.
    std::array<int, KEL_MAX_GROUPS> *staged_auto_ids();
    // An add whose automatic id the caller knows: staged with the others
    // when it can be, else sent now. The id kelfd answers.
    std::int32_t status_expecting(const if_kel_t &req, std::int32_t id);

    std::ostream &out() { return out_; }
    std::ostream &err() { return err_; }
    void print(const Output &o);
    void print_ok();  // a command that changed something and has nothing to show

    // Fresh, zeroed request records for this unit.
    if_kel_t kel(int code) const;
    if_kel_lbg_t lbg(int code) const;
    if_kel_mask_t mask(int code) const;

    // The number of switches kelfd has brought up, asked now.
    std::int32_t switch_count();
    // Refuses (exit 1) a unit that kelfd has not brought up.
    void require_unit();
    // Parses a port list for a command family and checks each port.
    std::vector<int> ports(Args &a, std::string_view what, PortFamily f);
    int port(Args &a, std::string_view what, PortFamily f);

    // Sends a request whose reply is the status word.
    std::int32_t status(const void *req, std::size_t len);
    // Sends a request whose reply is a record of size bytes.
    void record(const void *req, std::size_t len, void *reply, std::size_t size);

    template <class R>
    std::int32_t status(const R &req) {
        return status(&req, sizeof req);
    }

    // Sends any request and returns the reply as it came.
    std::vector<unsigned char> raw(const void *req, std::size_t len) { return exchange(req, len); }

    // The status word as a value: negative means kelfd refused "what".
    std::int32_t value(std::int32_t st, const std::string &what);
    // The status word as a switch status: anything but 0 is a refusal.
    void sdk_ok(std::int32_t st, const std::string &what);

private:
    std::vector<unsigned char> exchange(const void *req, std::size_t len);
    std::vector<unsigned char> exchange_raw(const void *req, std::size_t len);
    std::vector<unsigned char> send(const void *req, std::size_t len);
    std::optional<DaemonExtensions> ext_;
    struct Deferred {
        std::vector<unsigned char> bytes;  // the request as it travels in the transaction
        std::int32_t expect;
        std::string what;
    };
    std::vector<Deferred> deferred_;
    std::size_t deferred_bytes_ = 0;
    bool predict_ = true;
    bool defer(const void *req, std::size_t len, std::int32_t *answer,
               std::optional<std::int32_t> expect = std::nullopt);
    std::vector<unsigned char> unwrap_why(const std::vector<unsigned char> &r, std::uint32_t code);
    Transport &t_;
    std::ostream &out_;
    std::ostream &err_;
};

}  // namespace kelfctl
