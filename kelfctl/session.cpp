#include "session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "rule.h"
#include "staging.h"
#include "unreachable.h"

namespace kelfctl {

void usage(const std::string &msg) {
    throw Failure(kExitUsage, msg);
}
void refused(const std::string &msg) {
    throw Failure(kExitRefused, msg);
}

const char kKelfdLogsWhy[] =
    "kelfd logs why: to syslog, daemon facility, when it runs detached; to its output with -v, "
    "which its service sends to the journal";

std::string Args::next(std::string_view what) {
    if (done()) usage("missing " + std::string(what));
    return w_[i_++];
}

bool Args::accept(std::string_view kw, std::string_view alias) {
    if (done() || (w_[i_] != kw && (alias.empty() || w_[i_] != alias))) return false;
    ++i_;
    return true;
}

std::int64_t Args::number(std::string_view what, std::int64_t lo, std::int64_t hi) {
    std::string s = next(what);
    return value([&] { return parse_int(s, what, lo, hi); });
}

std::vector<int> Args::ports(std::string_view what, int lo, int hi, int all_hi) {
    std::string s = next(what);
    return value([&] { return parse_port_list(s, what, lo, hi, all_hi); });
}

bool Args::on_off(std::string_view what) {
    std::string s = next(what);
    return value([&] { return parse_on_off(s, what); });
}

std::string_view Args::keyword(const std::vector<Choice> &choices, std::string_view kind,
                               std::string_view where) {
    std::string w = next(kind);
    Resolved r = resolve(w, choices);
    if (r.match != Match::Found) usage(unresolved(w, r, kind, where));
    return choices[r.index].name;
}

std::optional<std::string_view> Args::accept_any(const std::vector<Choice> &choices,
                                                 std::string_view kind) {
    if (done()) return std::nullopt;
    Resolved r = resolve(w_[i_], choices);
    if (r.match == Match::Ambiguous) usage(unresolved(w_[i_], r, kind));
    if (r.match == Match::Unknown) return std::nullopt;
    ++i_;
    return choices[r.index].name;
}

const char *port_kind(int port) {
    if (port == 0) return "cpu";
    if (port >= 1 && port <= 40) return "ethernet";
    if (port >= 41 && port <= kCardPorts) return "pcie";
    if (port >= kInternalFirst && port <= kInternalLast) return "internal";
    return "none";
}

bool port_in(PortFamily f, int port) {
    switch (f) {
        case PortFamily::Card:
            return port >= 1 && port <= kCardPorts;
        case PortFamily::Mask:
            return port >= 1 && port <= kCardPorts - 1;
        case PortFamily::Counted:
            return port >= 0 && port <= kCardPorts;
        case PortFamily::RuleIn:
            return (port >= 1 && port <= kCardPorts) ||
                   (port >= kInternalFirst && port <= kInternalLast);
        case PortFamily::Any:
            return (port >= 0 && port <= kCardPorts) ||
                   (port >= kInternalFirst && port <= kInternalLast);
    }
    return false;
}

std::string port_family_text(PortFamily f) {
    switch (f) {
        case PortFamily::Card:
            return "ports 1 to 48";
        case PortFamily::Mask:
            return "port masks cover ports 1 to 47";
        case PortFamily::Counted:
            return "ports 0 to 48";
        case PortFamily::RuleIn:
            return "ports 1 to 48 and 50000 to 50003";
        case PortFamily::Any:
            return "ports 0 to 48 and 50000 to 50003";
    }
    return "";
}

void bad_port(std::string_view what, int port, int unit, PortFamily f) {
    usage(std::string(what) + ": '" + std::to_string(port) + "' is not a port of unit " +
          std::to_string(unit) + " here (" + port_family_text(f) + ")");
}

Session::Session(Transport &t, std::ostream &out, std::ostream &err)
    : t_(t), out_(out), err_(err) {}
Session::~Session() = default;

std::vector<int> Session::ports(Args &a, std::string_view what, PortFamily f) {
    std::string w = a.next(what);
    std::vector<int> p;
    if (w == "all") {
        int lo = f == PortFamily::Counted || f == PortFamily::Any ? 0 : 1;
        int hi = f == PortFamily::Mask ? kCardPorts - 1 : kCardPorts;
        for (int i = lo; i <= hi; ++i) p.push_back(i);
        if (f == PortFamily::Any)
            for (int i = kInternalFirst; i <= kInternalLast; ++i) p.push_back(i);
        return p;
    }
    p = kelfctl::value([&] { return parse_port_list(w, what, 0, 65535); });
    for (int x : p)
        if (!port_in(f, x)) bad_port(what, x, unit, f);
    return p;
}

int Session::port(Args &a, std::string_view what, PortFamily f) {
    int p = static_cast<int>(a.number(what, 0, 65535));
    if (!port_in(f, p)) bad_port(what, p, unit, f);
    return p;
}

std::int32_t Session::switch_count() {
    // The code and unit alone: kelfd reads nothing else of this request.
    unsigned char req[8] = {};
    std::int32_t code = KEL_GET_DEV_NUM;
    std::memcpy(req, &code, 4);
    std::vector<unsigned char> r = exchange_raw(req, sizeof req);
    if (r.size() != 4)
        refused("kelfd answered the switch count with " + std::to_string(r.size()) + " bytes");
    std::int32_t n;
    std::memcpy(&n, r.data(), 4);
    return n;
}

void Session::require_unit() {
    if (!switches) switches = switch_count();
    if (unit >= *switches)
        refused("unit " + std::to_string(unit) + " is not up: kelfd runs " +
                std::to_string(*switches) + (*switches == 1 ? " switch" : " switches"));
}

void Args::finish() const {
    if (!done()) usage("unexpected '" + w_[i_] + "'");
}

std::size_t trimmed(const void *request, std::size_t len) {
    // Eight bytes at a time first: a rule request is 9428 bytes, mostly the
    // zero tail, and a batch trims thousands of them.
    const auto *p = static_cast<const unsigned char *>(request);
    while (len >= 16) {
        std::uint64_t w;
        std::memcpy(&w, p + len - 8, 8);
        if (w != 0) break;
        len -= 8;
    }
    while (len > 8 && p[len - 1] == 0) --len;
    return len;
}

kelfclient::Status SocketTransport::exchange(const void *request, std::size_t len,
                                             std::vector<unsigned char> *reply) {
    return client_.exchange(request, trimmed(request, len), reply);
}

void Session::print(const Output &o) {
    if (json)
        out_ << o.json.dump(pretty ? 2 : -1) << '\n';
    else
        out_ << o.text;
}

void Session::print_ok() {
    if (json) out_ << R"({"ok":true})" << '\n';
}

if_kel_t Session::kel(int code) const {
    if_kel_t r;
    std::memset(&r, 0, sizeof r);
    r.kel_cmd = code;
    r.unit = unit;
    return r;
}

if_kel_lbg_t Session::lbg(int code) const {
    if_kel_lbg_t r;
    std::memset(&r, 0, sizeof r);
    r.kel_cmd = code;
    r.unit = unit;
    return r;
}

if_kel_mask_t Session::mask(int code) const {
    if_kel_mask_t r;
    std::memset(&r, 0, sizeof r);
    r.kel_cmd = static_cast<std::uint32_t>(code);
    r.unit = static_cast<std::uint32_t>(unit);
    return r;
}

std::vector<unsigned char> Session::exchange(const void *req, std::size_t len) {
    if (check_unit) require_unit();
    return exchange_raw(req, len);
}

std::vector<unsigned char> Session::send(const void *req, std::size_t len) {
    std::vector<unsigned char> reply;
    kelfclient::Status st = t_.exchange(req, len, &reply);
    if (st.code == kelfclient::Status::Timeout || st.code == kelfclient::Status::Denied)
        throw Failure(kExitUnreachable, st.message);
    if (st.code == kelfclient::Status::NoDaemon || st.code == kelfclient::Status::Io) {
        throw Failure(kExitUnreachable, st.message + unreachable_hint("kelfd"));
    }
    if (!st) refused(st.message);
    return reply;
}

const DaemonExtensions &Session::extensions() {
    if (ext_) return *ext_;
    kel_x_hello_t h{};
    h.kel_cmd = KEL_X_HELLO;
    h.client_version = KEL_X_VERSION;
    std::vector<unsigned char> r = send(&h, sizeof h);
    DaemonExtensions e;
    kel_x_hello_reply_t hr{};
    // A daemon without extensions answers the unknown command's -1.
    if (r.size() == sizeof hr) {
        std::memcpy(&hr, r.data(), sizeof hr);
        if (hr.magic == KEL_X_MAGIC && hr.version >= 1) {
            e.have = true;
            e.codes = hr.extensions;
            hr.daemon[sizeof hr.daemon - 1] = '\0';
            e.version = hr.daemon;
        }
    }
    ext_ = e;
    return *ext_;
}

namespace {

bool rule_change(std::uint32_t code) {
    switch (code) {
        case KEL_CLEAR:
        case KEL_SET_CFG:
        case KEL_SET_DROP:
        case KEL_SET_DIR:
        case KEL_SET_MIR:
        case KEL_SET_PERMIT:
        case KEL_SET_RULE:
        case KEL_ENTRY_REMOVE:
            return true;
        default:
            return false;
    }
}

void put_envelope(std::vector<unsigned char> &to, std::uint32_t code, std::int32_t arg) {
    kel_x_envelope_t e{code, arg};
    const auto *p = reinterpret_cast<const unsigned char *>(&e);
    to.insert(to.end(), p, p + sizeof e);
}

}  // namespace

namespace {

// A request as kelfd reads it: its missing tail zero.
if_kel_t as_kel(const unsigned char *p, std::size_t len) {
    if_kel_t k;
    std::memset(&k, 0, sizeof k);
    std::memcpy(&k, p, std::min(len, sizeof k));
    return k;
}

// Adds with their own id and removals, staged: kelfd answers the id or 0.
std::optional<std::int32_t> known_answer(const unsigned char *p, std::size_t len,
                                         std::string *what) {
    if (len < 8) return std::nullopt;
    std::uint32_t code;
    std::memcpy(&code, p, 4);
    const if_kel_t k = as_kel(p, len);
    switch (code) {
        case KEL_SET_DROP:
        case KEL_SET_DIR:
        case KEL_SET_MIR:
        case KEL_SET_PERMIT:
        case KEL_SET_RULE:
            if (k.kel_mem.rule_id <= 0) return std::nullopt;
            *what = "rule " + std::to_string(k.kel_mem.rule_id) + " of group " +
                    std::to_string(k.kel_mem.group);
            return k.kel_mem.rule_id;
        case KEL_ENTRY_REMOVE:
            *what = "the removal of rule " + std::to_string(k.rule_id) + " of group " +
                    std::to_string(k.group);
            return 0;
        default:
            return std::nullopt;
    }
}

// Bytes a request of many may carry, with room for the envelope.
constexpr std::size_t kMultiBytes = KEL_X_MAX_REQUEST - 64;

}  // namespace

bool Session::defer(const void *req, std::size_t len, std::int32_t *answer,
                    std::optional<std::int32_t> expect) {
    if (staging == nullptr || !extensions().serves(KEL_X_MULTI)) return false;
    const auto *p = static_cast<const unsigned char *>(req);
    std::string what;
    std::optional<std::int32_t> known = known_answer(p, len, &what);
    if (expect) {
        known = expect;
        what = "the rule kelfd was to number " + std::to_string(*expect);
    }
    if (!known) return false;
    std::int32_t req_unit;
    std::memcpy(&req_unit, p + 4, 4);
    const if_kel_t k = as_kel(p, len);
    const std::uint32_t code = k.kel_cmd;
    const int group = code == KEL_ENTRY_REMOVE ? k.group : k.kel_mem.group;
    UnitCache &c = cache[req_unit];
    if (!c.rules.count(group)) c.blind.insert(group);
    if (check_unit) require_unit();
    const int token = staging->token_for(req_unit);
    if (token <= 0) return false;
    len = trimmed(req, len);
    Deferred d{{}, *known, std::move(what)};
    d.bytes.reserve(len + 16);
    put_envelope(d.bytes, KEL_X_WHY, 0);
    put_envelope(d.bytes, KEL_X_TXN, token);
    d.bytes.insert(d.bytes.end(), p, p + len);
    if (deferred_bytes_ + d.bytes.size() + 4 > kMultiBytes || deferred_.size() >= KEL_X_MULTI_MAX)
        flush();
    deferred_bytes_ += d.bytes.size() + 4;
    deferred_.push_back(std::move(d));
    *answer = *known;
    return true;
}

std::array<int, KEL_MAX_GROUPS> *Session::staged_auto_ids() {
    if (staging == nullptr || !predict_ || !extensions().serves(KEL_X_MULTI) ||
        !extensions().serves(KEL_X_AUTO_IDS))
        return nullptr;
    UnitCache &c = cache[unit];
    if (c.auto_ids) return &*c.auto_ids;
    const int token = staging->token_for(unit);
    if (token <= 0) return nullptr;
    flush();
    std::vector<unsigned char> req;
    put_envelope(req, KEL_X_TXN, token);
    put_envelope(req, KEL_X_AUTO_IDS, unit);
    std::vector<unsigned char> r = send(req.data(), req.size());
    kel_x_auto_ids_t a;
    if (r.size() != sizeof a) return nullptr;
    std::memcpy(&a, r.data(), sizeof a);
    if (a.ret != 0) return nullptr;
    c.auto_ids.emplace();
    std::copy(std::begin(a.last), std::end(a.last), c.auto_ids->begin());
    return &*c.auto_ids;
}

std::int32_t Session::status_expecting(const if_kel_t &req, std::int32_t id) {
    std::int32_t known;
    if (defer(&req, sizeof req, &known, id)) return known;
    return status(&req, sizeof req);
}

void Session::flush() {
    if (deferred_.empty()) return;
    std::vector<Deferred> batch;
    batch.swap(deferred_);
    deferred_bytes_ = 0;
    std::vector<unsigned char> rec;
    rec.reserve(kMultiBytes);
    put_envelope(rec, KEL_X_MULTI, static_cast<std::int32_t>(batch.size()));
    for (const Deferred &d : batch) {
        const auto n = static_cast<std::uint32_t>(d.bytes.size());
        const auto *np = reinterpret_cast<const unsigned char *>(&n);
        rec.insert(rec.end(), np, np + 4);
        rec.insert(rec.end(), d.bytes.begin(), d.bytes.end());
    }
    std::vector<unsigned char> r = send(rec.data(), rec.size());
    std::size_t off = 0;
    std::vector<std::string> refusals;
    for (const Deferred &d : batch) {
        std::uint32_t n = 0;
        if (off + 4 > r.size() || (std::memcpy(&n, r.data() + off, 4), off + 4 + n > r.size()))
            refused("kelfd's reply to " + std::to_string(batch.size()) +
                    " staged changes was cut short");
        std::vector<unsigned char> item(r.begin() + static_cast<long>(off + 4),
                                        r.begin() + static_cast<long>(off + 4 + n));
        off += 4 + n;
        std::vector<unsigned char> reply = unwrap_why(item, KEL_X_MULTI);
        std::int32_t got = -1;
        if (reply.size() == 4) std::memcpy(&got, reply.data(), 4);
        if (got != d.expect) refusals.push_back(d.what + " (reply " + std::to_string(got) + ")");
    }
    if (refusals.empty()) return;
    // What the session followed of the staged state is not so: it reads
    // kelfd again, and leaves automatic ids to kelfd alone.
    cache.clear();
    predict_ = false;
    std::string all;
    for (const std::string &r : refusals) all += (all.empty() ? "" : ", ") + r;
    refused("kelfd refused " + std::to_string(refusals.size()) + " of " +
            std::to_string(batch.size()) + " staged changes: " + all);
}

std::vector<unsigned char> Session::unwrap_why(const std::vector<unsigned char> &r,
                                               std::uint32_t code) {
    // The request's own reply, then the lines kelfd printed for it.
    std::uint32_t n = 0, text = 0;
    if (r.size() < 4 || (std::memcpy(&n, r.data(), 4), r.size() < 8 + std::size_t{n}))
        refused("kelfd's reply to command " + std::to_string(code) + " was cut short");
    std::memcpy(&text, r.data() + 4 + n, 4);
    std::size_t have = std::min<std::size_t>(text, r.size() - 8 - n);
    if (have > 0) reason.assign(reinterpret_cast<const char *>(r.data()) + 8 + n, have);
    return {r.begin() + 4, r.begin() + 4 + n};
}

std::vector<unsigned char> Session::exchange_raw(const void *req, std::size_t len) {
    // What waits goes first: requests keep their order.
    flush();
    const auto *p = static_cast<const unsigned char *>(req);
    std::uint32_t code = 0;
    std::int32_t req_unit = 0;
    if (len >= 8) {
        std::memcpy(&code, p, 4);
        std::memcpy(&req_unit, p + 4, 4);
    }
    int token = 0;
    // The transaction's own reads of rules see what it staged.
    if (staging != nullptr && len >= 8 &&
        (code == KEL_ENTRY_QUERY || code == KEL_ENTRY_QUERY_LIST || code == KEL_GET_CNT ||
         code == KEL_X_RULES || code == KEL_X_LABEL))
        token = staging->open_token(req_unit);
    if (staging != nullptr && len >= 8 && rule_change(code)) {
        token = staging->token_for(req_unit);
        // kelfd chooses what follows: ask it again when next needed.
        UnitCache &c = cache[req_unit];
        c.auto_ids.reset();
        const if_kel_t k = as_kel(p, len);
        const int group = code == KEL_ENTRY_REMOVE ? k.group : k.kel_mem.group;
        if (code != KEL_CLEAR && code != KEL_SET_CFG && group >= 0 && group < KEL_MAX_GROUPS &&
            !c.rules.count(group))
            c.blind.insert(group);
        if (code == KEL_SET_CFG)
            for (int g = 0; g < KEL_MAX_GROUPS; ++g) c.blind.insert(g);
    }
    const bool why = extensions().serves(KEL_X_WHY);
    if (token <= 0 && !why) return send(req, len);

    std::vector<unsigned char> wrapped;
    wrapped.reserve(len + 16);
    if (why) put_envelope(wrapped, KEL_X_WHY, 0);
    if (token > 0) put_envelope(wrapped, KEL_X_TXN, token);
    wrapped.insert(wrapped.end(), p, p + len);
    std::vector<unsigned char> r = send(wrapped.data(), wrapped.size());
    if (!why) return r;
    return unwrap_why(r, code);
}

std::int32_t Session::status(const void *req, std::size_t len) {
    std::int32_t known;
    if (defer(req, len, &known)) return known;
    std::vector<unsigned char> r = exchange(req, len);
    if (r.size() != 4)
        refused("kelfd answered " + std::to_string(r.size()) +
                " bytes where a 4-byte status was due");
    std::int32_t v;
    std::memcpy(&v, r.data(), 4);
    return v;
}

void Session::record(const void *req, std::size_t len, void *reply, std::size_t size) {
    std::vector<unsigned char> r = exchange(req, len);
    std::int32_t code;
    std::memcpy(&code, req, 4);
    if (r.size() == 4 && size != 4) {
        // The unknown-command path answers the status word instead.
        std::int32_t v;
        std::memcpy(&v, r.data(), 4);
        refused("kelfd does not serve command " + std::to_string(code) + " (it answered " +
                std::to_string(v) + " instead of its " + std::to_string(size) + "-byte record)");
    }
    if (r.size() != size)
        refused("kelfd answered command " + std::to_string(code) + " with " +
                std::to_string(r.size()) + " bytes, expected " + std::to_string(size));
    std::memcpy(reply, r.data(), size);
}

std::int32_t Session::value(std::int32_t st, const std::string &what) {
    if (st < 0)
        refused("cannot " + what + ": kelfd refused the request (reply " + std::to_string(st) +
                ")");
    return st;
}

void Session::sdk_ok(std::int32_t st, const std::string &what) {
    if (st == -1) refused("cannot " + what + ": kelfd refused the request (reply -1)");
    if (st != 0)
        refused("cannot " + what + ": the switch refused it (SDK status " + std::to_string(st) +
                ")");
}

}  // namespace kelfctl
