// The rule engine against the real kelfd process: redirect rules added
// through the socket (KEL_SET_DIR) until a group holds 4096, in rounds that
// alternate with no-action requests so that both rates see the same machine;
// then every group of the unit filled, the daemon's resident memory, and the
// time one KEL_CLEAR takes to empty all 32 groups.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "daemon_process.h"
#include "testing/requests.h"
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

namespace {

using Clock = std::chrono::steady_clock;
using kelftest::request;

int ask(const kelfclient::Client &c, const if_kel_t &r) {
    std::int32_t v = 0;
    if (!c.status(&r, sizeof r, &v)) {
        std::fprintf(stderr, "request %d failed\n", r.kel_cmd);
        std::exit(1);
    }
    return v;
}

// Requests per second for n round trips of r; each must answer above
// `at_least` (a rule id, or 0 for no action).
double rate(const kelfclient::Client &c, if_kel_t r, int n, int at_least) {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        if (ask(c, r) < at_least) {
            std::fprintf(stderr, "request %d refused\n", r.kel_cmd);
            std::exit(1);
        }
    return n / std::chrono::duration<double>(Clock::now() - t0).count();
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

}  // namespace

int main() {
    constexpr int kRounds = 16, kPerRound = KEL_MAX_RULES / kRounds;
    kelftest::DaemonProcess daemon;
    kelfclient::Client c = daemon.client();
    if_kel_t noop = request(KEL_INIT);
    if_kel_t add = request(KEL_SET_DIR);
    add.kel_mem.port = 3;
    add.kel_mem.redir_port = 7;

    rate(c, noop, 500, 0);  // warm up
    long rss_empty = rss_kib(daemon.pid());

    std::vector<double> adds, noops, ratio;
    for (int i = 0; i < kRounds; ++i) {
        adds.push_back(rate(c, add, kPerRound, 1));
        noops.push_back(rate(c, noop, kPerRound, 0));
        ratio.push_back(adds.back() / noops.back());
    }
    if (ask(c, add) != -1) {
        std::fprintf(stderr, "the 4097th rule was accepted\n");
        return 1;
    }

    // The rest of the unit, each group with 4096 rules.
    auto t0 = Clock::now();
    for (int g = 1; g < KEL_MAX_GROUPS; ++g) {
        add.kel_mem.group = g;
        rate(c, add, KEL_MAX_RULES, 1);
    }
    double fill_s = std::chrono::duration<double>(Clock::now() - t0).count();
    double last_group = (KEL_MAX_GROUPS - 1) * KEL_MAX_RULES / fill_s;
    long rss_full = rss_kib(daemon.pid());

    t0 = Clock::now();
    int cleared = ask(c, request(KEL_CLEAR));
    double clear_s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (cleared != 0) {
        std::fprintf(stderr, "KEL_CLEAR replied %d\n", cleared);
        return 1;
    }

    std::printf("group 0 filled in %d rounds of %d adds, each followed by %d no-action requests\n",
                kRounds, kPerRound, kPerRound);
    std::printf("rule adds           %.0f /s (median); first round %.0f /s, last round %.0f /s\n",
                median(adds), adds.front(), adds.back());
    std::printf("no-action requests  %.0f /s (median)\n", median(noops));
    std::printf("add / no-action     %.3f (median of per-round ratios)\n", median(ratio));
    std::printf("groups 1-31 filled  %.0f adds/s with 4096 to 126976 rules already held\n",
                last_group);
    std::printf("KEL_CLEAR of %d rules in 32 groups: %.3f s (%.0f rules/s)\n",
                KEL_MAX_GROUPS * KEL_MAX_RULES, clear_s, KEL_MAX_GROUPS * KEL_MAX_RULES / clear_s);
    std::printf("daemon resident memory: %ld KiB empty, %ld KiB with %d rules\n", rss_empty,
                rss_full, KEL_MAX_GROUPS * KEL_MAX_RULES);
    return 0;
}
