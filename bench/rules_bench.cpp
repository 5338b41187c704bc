// The rule engine against the real kelfd process: redirect rules added
// through the socket (KEL_SET_DIR) until a group holds 4096, in rounds that
// alternate with no-action requests so that both rates see the same machine;
// then every group of the unit filled, the daemon's resident memory, and the
// time one KEL_CLEAR takes to empty all 32 groups. Once with rules that all
// share one match (port 3, the same in every group) and once, on a fresh
// daemon, with rules that each match another destination address: clearing
// the first costs at most twice the second. A third fill gives every group
// addresses of its own, so that the unit holds a match value per rule rather
// than the same 4096 in each group; its memory is reported beside the others.
//
// Every failure throws, so that the daemon is stopped on every path.
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_process.h"
#include "testing/requests.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelftest::request;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int ask(const kelfclient::Client &c, const if_kel_t &r) {
    std::int32_t v = 0;
    if (!c.status(&r, sizeof r, &v))
        throw Failure("request " + std::to_string(r.kel_cmd) + " failed");
    return v;
}

// Requests per second for n round trips of r; each must answer above
// `at_least` (a rule id, or 0 for no action). `vary` changes the request
// before each trip (the rule's match), when given.
template <typename Vary>
double rate(const kelfclient::Client &c, if_kel_t r, int n, int at_least, Vary vary) {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        vary(r, i);
        if (ask(c, r) < at_least)
            throw Failure("request " + std::to_string(r.kel_cmd) + " refused");
    }
    return n / std::chrono::duration<double>(Clock::now() - t0).count();
}

double rate(const kelfclient::Client &c, if_kel_t r, int n, int at_least) {
    return rate(c, r, n, at_least, [](if_kel_t &, int) {});
}

long rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Unit {
    double add_median = 0, noop_median = 0, ratio_median = 0, first = 0, last = 0, rest = 0;
    double clear_s = 0;
    long rss_empty = 0, rss_full = 0;
};

enum class Matches { Shared, Distinct, DistinctPerGroup };

// Fills a fresh daemon's unit and clears it. Distinct: each rule of a group
// matches its own destination address, the same addresses in every group;
// DistinctPerGroup: group g's rules match 10.0.0.0 plus g x 4096 plus their
// place, so that no two rules of the unit match alike.
Unit fill_and_clear(Matches matches) {
    const bool distinct = matches != Matches::Shared;
    constexpr int kRounds = 16, kPerRound = KEL_MAX_RULES / kRounds;
    kelftest::DaemonProcess daemon;
    kelfclient::Client c = daemon.client();
    if_kel_t noop = request(KEL_INIT);
    if_kel_t add = request(KEL_SET_DIR);
    add.kel_mem.port = 3;
    add.kel_mem.redir_port = 7;
    int base = 0;  // the rules added to the group so far, and the group's first address
    auto vary = [&](if_kel_t &r, int i) {
        if (distinct) r.kel_mem.dst_ip = 0x0A000000u + static_cast<std::uint32_t>(base + i);
    };

    Unit u;
    rate(c, noop, 500, 0);  // warm up
    u.rss_empty = rss_kib(daemon.pid());
    std::vector<double> adds, noops, ratio;
    for (int i = 0; i < kRounds; ++i, base += kPerRound) {
        adds.push_back(rate(c, add, kPerRound, 1, vary));
        noops.push_back(rate(c, noop, kPerRound, 0));
        ratio.push_back(adds.back() / noops.back());
    }
    if (ask(c, add) != -1) throw Failure("the 4097th rule was accepted");
    u.add_median = median(adds);
    u.noop_median = median(noops);
    u.ratio_median = median(ratio);
    u.first = adds.front();
    u.last = adds.back();

    auto t0 = Clock::now();
    for (int g = 1; g < KEL_MAX_GROUPS; ++g) {
        add.kel_mem.group = g;
        base = matches == Matches::DistinctPerGroup ? g * KEL_MAX_RULES : 0;
        rate(c, add, KEL_MAX_RULES, 1, vary);
    }
    u.rest = (KEL_MAX_GROUPS - 1) * KEL_MAX_RULES /
             std::chrono::duration<double>(Clock::now() - t0).count();
    u.rss_full = rss_kib(daemon.pid());

    t0 = Clock::now();
    int cleared = ask(c, request(KEL_CLEAR));
    u.clear_s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (cleared != 0) throw Failure("KEL_CLEAR replied " + std::to_string(cleared));
    return u;
}

void report(const char *what, const Unit &u) {
    std::printf("%s:\n", what);
    std::printf("  rule adds           %.0f /s (median); first round %.0f /s, last round %.0f /s\n",
                u.add_median, u.first, u.last);
    std::printf("  no-action requests  %.0f /s (median)\n", u.noop_median);
    std::printf("  add / no-action     %.3f (median of per-round ratios)\n", u.ratio_median);
    std::printf("  groups 1-31 filled  %.0f adds/s with 4096 to 126976 rules already held\n",
                u.rest);
    std::printf("  KEL_CLEAR of %d rules in 32 groups: %.3f s (%.0f rules/s)\n",
                KEL_MAX_GROUPS * KEL_MAX_RULES, u.clear_s,
                KEL_MAX_GROUPS * KEL_MAX_RULES / u.clear_s);
    std::printf("  daemon resident memory: %.1f MiB empty, %.1f MiB with %d rules\n",
                u.rss_empty / 1024.0, u.rss_full / 1024.0, KEL_MAX_GROUPS * KEL_MAX_RULES);
}

}  // namespace

int main() try {
    std::printf(
        "each group filled in 16 rounds of 256 adds, each followed by 256 no-action "
        "requests\n");
    Unit same = fill_and_clear(Matches::Shared);
    report("rules sharing one match", same);
    Unit distinct = fill_and_clear(Matches::Distinct);
    report("rules of distinct matches", distinct);
    Unit own = fill_and_clear(Matches::DistinctPerGroup);
    report("rules of distinct matches, other addresses in every group", own);
    double ratio = same.clear_s / distinct.clear_s;
    std::printf("KEL_CLEAR, shared / distinct matches: %.2f (target at most 2)\n", ratio);
    constexpr long kTargetKib = 64 * 1024;
    std::printf("resident memory of a full unit: %s (target at most 64 MiB)\n",
                std::max(same.rss_full, distinct.rss_full) <= kTargetKib ? "met" : "NOT met");
    return ratio <= 2.0 ? 0 : 1;
} catch (const std::exception &e) {
    std::fprintf(stderr, "rules_bench: %s\n", e.what());
    return 1;
}
