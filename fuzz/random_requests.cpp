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
#include "testing/tables_agree.h"

namespace {

constexpr int kCheckEvery = 500;

// clang-format off
const int kCodes[] = {
    KEL_INIT, KEL_CLEAR, KEL_CLEAR_GROUP, KEL_SET_CFG, KEL_SET_DROP, KEL_SET_DIR, KEL_SET_MIR,
    KEL_GET_CFG, KEL_INSTALL, KEL_INSTALL_GROUP, KEL_GET_CNT, KEL_ENTRY_REMOVE, KEL_ENTRY_QUERY,
    KEL_ENTRY_QUERY_LIST, KEL_GET_DEV_NUM, KEL_SET_PORT_MASK, KEL_GET_PORT_MASK, KEL_SET_PERMIT,
    KEL_SET_MOD0, KEL_SET_MOD1, KEL_SET_MOD2, KEL_SET_L2_HASH, KEL_SET_L3_HASH, KEL_SET_RULE,
    KEL_LBG_QUERY_LIST, KEL_LBG_PORT_QUERY_LIST, KEL_LBG_REMOVE, KEL_LBG_ADD, KEL_LBG_PORT_REMOVE,
    KEL_LBG_PORT_ADD, KEL_GET_L2_HASH, KEL_GET_L3_HASH, KEL_GET_PORT_LINK, KEL_GET_TEMP,
    KEL_MIR_QUERY_LIST, KEL_MIR_PORT_QUERY_LIST, KEL_MIR_REMOVE, KEL_MIR_ADD, KEL_MIR_PORT_REMOVE,
    KEL_MIR_PORT_ADD, KEL_SET_PRIO, KEL_MIR_VLAN_ADD, KEL_ADD_VLAN_PROMISC, KEL_DEL_VLAN_PROMISC,
    KEL_GET_PORT_SPEED, KEL_GET_PORT_ETH_MODE, KEL_MCG_CREATE, KEL_MCG_GET_PORT,
    KEL_MCG_ADD_LISTENER, KEL_MCG_REMOVE, KEL_SET_PORT_PARSER, KEL_GET_PORT_PARSER,
    KEL_SET_RFRAME_UPDATE, KEL_GET_RFRAME_UPDATE, KEL_SET_TTL_UPDATE, KEL_GET_TTL_UPDATE,
    KEL_SET_SW_REMAIN, KEL_GET_SW_REMAIN, KEL_READ_PHY, KEL_WRITE_PHY, KEL_CPLD_READ,
    KEL_CPLD_WRITE, KEL_BP_READ, KEL_BP_WRITE, KEL_GET_GPIO_DIR, KEL_SET_GPIO_DIR, KEL_GET_GPIO,
    KEL_SET_GPIO, KEL_GET_REG, KEL_SET_REG, KEL_TEMP_READ, KEL_TEMP_WRITE, KEL_SET_PRBS,
    KEL_GET_PORT_STATE, KEL_SET_LOOPBACK, KEL_TEMP1_READ, KEL_TEMP1_WRITE, KEL_FCI_READ,
    KEL_FCI_WRITE, KEL_FCI_RX_READ, KEL_FCI_RX_WRITE, KEL_GET_VLAN_STAT, KEL_GET_STAT,
    KEL_GET_PRIO_STAT, KEL_RESET_STAT, KEL_GET_POWER};
// clang-format on

// A field value as clients send them: mostly small numbers (units, groups,
// ports, ids, counts), sometimes the edges, sometimes anything.
std::int32_t field(std::mt19937_64 &rng) {
    switch (rng() % 10) {
        case 0:
            return 0;
        case 1:
            return static_cast<std::int32_t>(rng() % 3);
        case 2:
        case 3:
        case 4:
            return static_cast<std::int32_t>(rng() % 64);
        case 5:
            return static_cast<std::int32_t>(rng() % 4200);
        case 6:
            return -static_cast<std::int32_t>(rng() % 3);
        case 7: {
            const std::int32_t edges[] = {INT32_MIN, INT32_MAX, 4095, 4096, 65535, 65536, 50000,
                                          32,        33,        16,   17,   48,    49};
            return edges[rng() % (sizeof edges / sizeof edges[0])];
        }
        default:
            return static_cast<std::int32_t>(rng());
    }
}

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
        d.clear();
        unsigned char *raw = d.buffer().raw;
        // Random words over the first part of the buffer, where every
        // layout keeps its fields (kel_mem, the lists, masks and hashes too).
        const size_t words = (rng() % 4 == 0) ? KEL_BUF_SIZE / 4 : 80;
        for (size_t w = 0; w < words; ++w) {
            std::int32_t v = field(rng);
            std::memcpy(raw + 4 * w, &v, 4);
        }
        // The tail fields of if_kel (action .. val) as well.
        for (size_t off = offsetof(if_kel_t, action); off + 4 <= KEL_BUF_SIZE; off += 4) {
            std::int32_t v = field(rng);
            std::memcpy(raw + off, &v, 4);
        }
        int code = kCodes[rng() % (sizeof kCodes / sizeof kCodes[0])];
        // Clearing is rare, so that the tables grow as a client's would.
        if (code == KEL_CLEAR && rng() % 50 != 0) code = KEL_SET_DROP;
        std::int32_t unit = rng() % 8 == 0 ? field(rng) : static_cast<std::int32_t>(rng() % 2);
        std::memcpy(raw, &code, 4);
        std::memcpy(raw + 4, &unit, 4);
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
