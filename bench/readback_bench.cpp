// Reading a full unit back: `kelfctl check`, `kelfctl save` and
// `kelfctl rule list -s` of 32 groups of 4,096 rules, each against the
// baseline of the same run: one request per rule that does nothing in
// kelfd (command 200), sent through the client library. The target is at
// most a tenth of the baseline for each.
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelftest::DaemonProcess;
constexpr int kGroups = KEL_MAX_GROUPS, kPerGroup = KEL_MAX_RULES;
constexpr int kRules = kGroups * kPerGroup;

double secs(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::uint32_t address(int i) {
    return 0x0A000000u | static_cast<std::uint32_t>(i);
}

// Every group full, each rule a match of its own, added one request each.
void fill(const DaemonProcess &d) {
    kelfclient::Client c = d.client();
    for (int i = 0; i < kRules; ++i) {
        if_kel_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = KEL_SET_DROP;
        r.kel_mem.group = i / kPerGroup;
        r.kel_mem.rule_id = i % kPerGroup + 1;
        r.kel_mem.dst_ip = address(i);
        r.kel_mem.dst_ip_mask = 0xFFFFFFFFu;
        std::int32_t id = 0;
        if (!c.status(&r, sizeof r, &id) || id != r.kel_mem.rule_id)
            throw std::runtime_error("an add was refused");
    }
}

// The file that says what the unit holds, for check.
std::string file_text() {
    std::string t = "config set isolated\n";
    for (int i = 0; i < kRules; ++i) {
        const std::uint32_t a = address(i);
        t += "rule add group " + std::to_string(i / kPerGroup) + " id " +
             std::to_string(i % kPerGroup + 1) + " drop dst-ip 10." +
             std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
             std::to_string(a & 255) + "\n";
    }
    return t;
}

double baseline(const DaemonProcess &d) {
    kelfclient::Client c = d.client();
    auto t0 = Clock::now();
    for (int i = 0; i < kRules; ++i) {
        if_kel_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = KEL_GET_VLAN_STAT;
        std::int32_t st = 0;
        if (!c.status(&r, 8, &st)) throw std::runtime_error("a no-action request failed");
    }
    return secs(Clock::now() - t0);
}

double timed(const DaemonProcess &d, const std::vector<std::string> &args, int want = 0) {
    auto t0 = Clock::now();
    auto r = d.run(KELFCTL_BINARY, args, std::chrono::minutes(10));
    double s = secs(Clock::now() - t0);
    if (r.status != want) {
        std::fprintf(stderr, "kelfctl %s failed (%d): %s\n", args[0].c_str(), r.status,
                     r.err.substr(0, 400).c_str());
        throw std::runtime_error("stopped");  // unwinds: every process is stopped
    }
    return s;
}

}  // namespace

int main() try {
    DaemonProcess d;
    auto t0 = Clock::now();
    fill(d);
    std::printf("%d rules (32 groups x 4096) added in %.1f s\n", kRules, secs(Clock::now() - t0));
    const std::string path = d.run_dir() + "/unit.conf";
    std::ofstream(path) << file_text();
    const double base = baseline(d);
    std::printf("baseline: %d no-action requests      %.3f s\n", kRules, base);
    struct Row {
        const char *what;
        std::vector<std::string> args;
    };
    for (const Row &r : {Row{"kelfctl check FILE     ", {"check", path}},
                         Row{"kelfctl save           ", {"save", d.run_dir() + "/saved.conf"}},
                         Row{"kelfctl rule list -s   ", {"-s", "rule", "list"}},
                         Row{"kelfctl rule list      ", {"rule", "list"}},
                         Row{"kelfctl -j rule list -s", {"-j", "-s", "rule", "list"}}}) {
        double t = timed(d, r.args);
        std::printf("%s %.3f s  ratio to baseline %.3f (target at most 0.1)\n", r.what, t,
                    t / base);
    }
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "readback_bench", e.what());
    return 1;
}
