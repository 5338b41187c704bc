// extensions.cpp - hello, reasons on the wire, and transactions.
#include "extensions.h"

#include <kelfd/kel_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"
#include "messages.h"
#include "readback.h"
#include "reasons.h"
#include "rules/rule_table.h"
#include "rules/rule_txn.h"
#include "wire_records.h"

#ifndef KELFD_VERSION
#define KELFD_VERSION "0"
#endif

namespace kelf::extensions {
namespace {

using wire::code_of;
using wire::read;

bool envelope(std::uint32_t code) {
    return code == KEL_X_WHY || code == KEL_X_TXN;
}

Reply status(std::vector<unsigned char> &out, std::int32_t v) {
    out.resize(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return {out.data(), out.size()};
}

Reply copy(std::vector<unsigned char> &out, Reply r) {
    const auto *p = static_cast<const unsigned char *>(r.data);
    out.assign(p, p + r.size);
    return {out.data(), out.size()};
}

// A request of a transaction: carried out with the transaction's unit
// staging. Rule adds, removes and clears are staged; any other request of
// the unit is carried out now, by the client that holds the unit's rules
// (the rules a configuration adds are staged with the rest).
Reply staged(Dispatcher &d, std::int32_t token, const unsigned char *rec, std::size_t n,
             std::vector<unsigned char> &out) {
    rules::txn::Scope scope(token);
    if (!scope.ok()) return status(out, -1);
    const std::uint32_t code = code_of(rec, n);
    if (code == KEL_X_AUTO_IDS || code == KEL_X_LABEL || is_read_back(code))
        return serve(d, rec, n, out);
    const std::int32_t unit = read<if_kel_t>(rec, n).unit;
    if (unit != scope.unit()) {
        std::printf("kel: transaction %d is on unit %d, not unit %d\n", token, scope.unit(), unit);
        std::fflush(stdout);
        return status(out, -1);
    }
    return copy(out, d.run_command(rec, n));
}

// How deep the request being served sits in envelopes of each kind: a
// KEL_X_WHY holds no other, and a KEL_X_MULTI no other at any depth, so
// that a request costs at most one reply of many.
int why_depth = 0, multi_depth = 0;
struct Deeper {
    int &d;
    explicit Deeper(int &depth) : d(depth) { ++d; }
    ~Deeper() { --d; }
};

// The most a KEL_X_MULTI answers; items past it are answered -1.
constexpr std::size_t kMaxMultiReply = std::size_t{1} << 20;

Reply why(Dispatcher &d, const unsigned char *rec, std::size_t n, std::vector<unsigned char> &out) {
    std::vector<unsigned char> inner;
    Reply r;
    const bool nested = why_depth > 0;
    Deeper deeper(why_depth);
    reasons::Capture capture(KEL_X_WHY_TEXT_MAX);
    const std::uint32_t code = n > 0 ? code_of(rec, n) : 0;
    if (nested) {
        std::puts("kel: an envelope holds one request, not another envelope of its kind");
        std::fflush(stdout);
        return status(out, -1);
    } else if (code == KEL_X_TXN) {
        auto env = read<kel_x_envelope_t>(rec, n);
        std::size_t h = std::min(n, sizeof env);
        r = staged(d, env.arg, rec + h, n - h, inner);
    } else if (code >= KEL_X_FIRST && code <= KEL_X_LAST && served(code)) {
        r = serve(d, rec, n, inner);
    } else {
        r = copy(inner, d.run_command(rec, n));
    }
    std::string text = capture.take();
    if (!text.empty() && text.back() != '\n') text += '\n';  // "Rule exist!" has none
    kel_x_why_reply_t head{static_cast<std::uint32_t>(r.size)};
    const auto len = static_cast<std::uint32_t>(text.size());
    out.resize(sizeof head + r.size + sizeof len + text.size());
    unsigned char *p = out.data();
    std::memcpy(p, &head, sizeof head);
    std::memcpy(p + sizeof head, r.data, r.size);
    std::memcpy(p + sizeof head + r.size, &len, sizeof len);
    std::memcpy(p + sizeof head + r.size + sizeof len, text.data(), text.size());
    return {out.data(), out.size()};
}

// Several requests in one record, each served as if it had come alone, in
// their order; an item cut short or one past the count's bounds is
// answered -1. One KEL_X_MULTI may not hold another.
Reply multi(Dispatcher &d, const unsigned char *rec, std::size_t n,
            std::vector<unsigned char> &out) {
    const auto env = read<kel_x_envelope_t>(rec, n);
    out.clear();
    const std::int32_t count = env.arg > 0 && env.arg <= KEL_X_MULTI_MAX ? env.arg : 0;
    if (multi_depth > 0) {
        std::puts("kel: a multiple request holds no other multiple request");
        std::fflush(stdout);
        return status(out, -1);
    }
    Deeper deeper(multi_depth);
    bool cut = false;
    if (count == 0) {
        std::printf("kel: a multiple request holds 1 to %d requests, not %d\n", KEL_X_MULTI_MAX,
                    env.arg);
        std::fflush(stdout);
        return status(out, -1);
    }
    std::vector<unsigned char> one;
    std::size_t off = std::min(n, sizeof env);
    for (std::int32_t i = 0; i < count; ++i) {
        std::uint32_t len = 0;
        Reply r;
        if (off + 4 <= n) std::memcpy(&len, rec + off, 4);
        if (off + 4 > n || len > n - off - 4) {
            r = status(one, -1);  // cut short
            off = n;
        } else if (out.size() > kMaxMultiReply) {
            if (!cut) std::puts("kel: a multiple request's replies are cut at 1 MiB");
            cut = true;
            r = status(one, -1);
            off += 4 + len;
        } else {
            const unsigned char *item = rec + off + 4;
            off += 4 + len;
            const std::uint32_t code = len >= 4 ? code_of(item, len) : 0;
            if (code == KEL_X_MULTI)
                r = status(one, -1);
            else if (len >= 4 && served(code))
                r = serve(d, item, len, one);
            else
                r = copy(one, d.run_command(item, len));
            d.clear();
            // A read that would pass the cut is not answered: it changed nothing.
            if (is_read_back(code) && out.size() + r.size > kMaxMultiReply) {
                if (!cut) std::puts("kel: a multiple request's replies are cut at 1 MiB");
                cut = true;
                r = status(one, -1);
            }
        }
        const auto size = static_cast<std::uint32_t>(r.size);
        const auto *p = reinterpret_cast<const unsigned char *>(&size);
        out.insert(out.end(), p, p + 4);
        const auto *b = static_cast<const unsigned char *>(r.data);
        out.insert(out.end(), b, b + r.size);
    }
    return {out.data(), out.size()};
}

// What kelfd will choose for the next automatic ids of a unit's groups, so
// that a client staging adds can know their ids before the answers come.
Reply auto_ids(std::int32_t unit, std::vector<unsigned char> &out) {
    kel_x_auto_ids_t a;
    std::memset(&a, 0, sizeof a);
    a.ret = -1;
    if (unit >= 0 && unit < KEL_MAX_UNITS && kelf::unit_inserted(unit)) {
        a.ret = 0;
        const rules::txn::Staged *st = rules::txn::staging(unit);
        for (int g = 0; g < KEL_MAX_GROUPS; ++g)
            a.last[g] = st ? st->last_auto_id(g) : kel_cur_rule[unit][g];
    }
    out.resize(sizeof a);
    std::memcpy(out.data(), &a, sizeof a);
    return {out.data(), out.size()};
}

Reply hello(std::vector<unsigned char> &out) {
    kel_x_hello_reply_t h;
    std::memset(&h, 0, sizeof h);
    h.magic = KEL_X_MAGIC;
    h.version = KEL_X_VERSION;
    for (std::uint32_t c = KEL_X_FIRST; c <= KEL_X_LAST; ++c)
        if (served(c)) h.extensions |= std::uint64_t{1} << (c - KEL_X_FIRST);
    std::snprintf(h.daemon, sizeof h.daemon, "%s", KELFD_VERSION);
    out.resize(sizeof h);
    std::memcpy(out.data(), &h, sizeof h);
    return {out.data(), out.size()};
}

}  // namespace

bool served(std::uint32_t code) {
    // KELFD_EXTENSIONS=0 makes a daemon of the command table alone,
    // as clients meet it in an older kelfd.
    static const bool on = [] {
        const char *e = std::getenv("KELFD_EXTENSIONS");
        return e == nullptr || std::strcmp(e, "0") != 0;
    }();
    return on && code >= KEL_X_HELLO && code <= KEL_X_LABEL;
}

std::size_t record_size(const unsigned char *rec, std::size_t got) {
    const std::uint32_t code = code_of(rec, got);
    if (envelope(code)) {
        constexpr std::size_t h = sizeof(kel_x_envelope_t);
        if (got < h + sizeof code) return h + sizeof code;
        return h + record_size(rec + h, got - h);
    }
    if (code == KEL_X_MULTI) {
        // The envelope, then each item's length and bytes; a count or a
        // length out of bounds makes the record whole as it is (refused).
        constexpr std::size_t h = sizeof(kel_x_envelope_t);
        if (got < h) return h;
        const auto env = read<kel_x_envelope_t>(rec, got);
        if (env.arg <= 0 || env.arg > KEL_X_MULTI_MAX) return h;
        std::size_t off = h;
        for (std::int32_t i = 0; i < env.arg; ++i) {
            if (got < off + 4) return off + 4;
            std::uint32_t len = 0;
            std::memcpy(&len, rec + off, 4);
            off += 4 + std::size_t{len};
            if (off > KEL_X_MAX_REQUEST) return got;
        }
        return off;
    }
    switch (code) {
        case KEL_X_HELLO:
            return sizeof(kel_x_hello_t);
        case KEL_X_TXN_BEGIN:
            return sizeof(kel_x_begin_t);
        case KEL_X_TXN_COMMIT:
        case KEL_X_TXN_ABORT:
        case KEL_X_AUTO_IDS:
            return sizeof(kel_x_token_t);
        case KEL_X_LABEL:
            return sizeof(kel_x_label_t);
        default:
            return is_read_back(code) ? sizeof(kel_x_read_t) : request_size(code);
    }
}

Reply serve(Dispatcher &d, const unsigned char *rec, std::size_t n,
            std::vector<unsigned char> &out) {
    const std::uint32_t code = code_of(rec, n);
    switch (code) {
        case KEL_X_HELLO:
            return hello(out);
        case KEL_X_WHY: {
            std::size_t h = std::min(n, sizeof(kel_x_envelope_t));
            return why(d, rec + h, n - h, out);
        }
        case KEL_X_TXN: {
            auto env = read<kel_x_envelope_t>(rec, n);
            std::size_t h = std::min(n, sizeof env);
            return staged(d, env.arg, rec + h, n - h, out);
        }
        case KEL_X_TXN_BEGIN: {
            auto b = read<kel_x_begin_t>(rec, n);
            return status(out, rules::txn::begin(b.unit, std::chrono::milliseconds(b.idle_ms)));
        }
        case KEL_X_TXN_COMMIT:
            return status(out, rules::txn::commit(read<kel_x_token_t>(rec, n).token));
        case KEL_X_TXN_ABORT:
            return status(out, rules::txn::abort(read<kel_x_token_t>(rec, n).token));
        case KEL_X_MULTI:
            return multi(d, rec, n, out);
        case KEL_X_AUTO_IDS:
            return auto_ids(read<kel_x_envelope_t>(rec, n).arg, out);
        case KEL_X_LABEL:
            return status(out, set_label(read<kel_x_label_t>(rec, n)));
        default:
            if (is_read_back(code)) {
                read_back(code, read<kel_x_read_t>(rec, n), out);
                return {out.data(), out.size()};
            }
            return copy(out, d.run_command(rec, n));
    }
}

}  // namespace kelf::extensions
