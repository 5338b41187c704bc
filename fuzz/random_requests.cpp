// random_requests - a one-off measurement, not a test: COUNT random requests
// of valid command codes with random fields, one after another on the same
// two simulated switches (so state builds up as a client's would), through
// the dispatcher as the server calls it. Built with the sanitizers of the
// test preset, any memory or undefined-behaviour error ends the run, and
// LeakSanitizer reports at exit. Every CHECK_EVERY requests, and at the end,
// the daemon's rule tables must hold exactly the rules of the switch's ACLs.
//
//   random_requests [COUNT [SEED]]     (default 300000, seed 1)
#include <kelfd/kel_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "daemon.h"
#include "daemon_modules.h"
#include "dispatch.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "rules/rule_table.h"
#include "testing/random_request.h"
#include "testing/tables_agree.h"

namespace {

constexpr int kCheckEvery = 500;

bool tables_in_step() {
    bool ok = true;
    for (int unit = 0; unit < 2; ++unit)
        for (const kelftest::TablesApart &a : kelftest::tables_apart(unit)) {
            std::fprintf(stderr, "unit %d group %d: table and ACL differ\n", unit, a.group);
            ok = false;
        }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    long count = argc > 1 ? std::atol(argv[1]) : 300000;
    unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    // The daemon's lines are not the subject (and some requests print thousands).
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    std::mt19937_64 rng(seed);
    fmsim_set_switches(2);
    kelf::reset_modules();
    kel_inserted = 2;
    static kelf::Dispatcher d;
    std::map<int, long> per_code;
    long mismatches = 0, replies_bad = 0, accepted = 0, rules_added = 0;
    int peak = 0;
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const int code = kelftest::random_request(rng, d);
        ++per_code[code];
        kelf::Reply r = d.dispatch();
        if (r.size == 0 || r.size > KEL_BUF_SIZE) ++replies_bad;
        if (r.size == 4 && d.ret_fn() >= 0) ++accepted;
        if (d.ret_fn() > 0 && (code == KEL_SET_DROP || code == KEL_SET_DIR || code == KEL_SET_MIR ||
                               code == KEL_SET_PERMIT || code == KEL_SET_RULE))
            ++rules_added;
        peak = std::max(peak, [] {
            int n = 0;
            for (auto &u : kel_acl)
                for (auto &g : u) n += g.count();
            return n;
        }());
        if ((i + 1) % kCheckEvery == 0 && !tables_in_step()) ++mismatches;
    }
    if (!tables_in_step()) ++mismatches;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr,
                 "random_requests: %ld requests (%zu codes, seed %lu) in %.1f s, %.0f/s; "
                 "status replies of 0 or more %ld, rules added %ld, most rules held %d; "
                 "table/ACL mismatches %ld, bad replies %ld\n",
                 count, per_code.size(), seed, secs, count / secs, accepted, rules_added, peak,
                 mismatches, replies_bad);
    return mismatches || replies_bad ? 1 : 0;
}
