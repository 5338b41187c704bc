// Configuration files: `kelfctl apply` of a 5,000-rule file to a fresh
// kelfd against the same rules through `kelfctl -b` (the baseline, same
// run) and through the client library one request each, and a no-change
// apply of that file.
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
constexpr int kRules = 5000;
constexpr int kRuns = 3;

double secs(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Rules with explicit groups and ids, as a configuration file needs them.
std::string rules_text() {
    std::string t;
    for (int i = 0; i < kRules; ++i) {
        int group = i / 4000, id = i % 4000 + 1;
        t += "rule add group " + std::to_string(group) + " id " + std::to_string(id) +
             " drop in-port " + std::to_string(i % 40 + 1) + " dst-ip 10." +
             std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) +
             ".0/24 protocol tcp dport " + std::to_string(i % 60000 + 1) + "\n";
    }
    return t;
}

double timed(const DaemonProcess &d, const std::vector<std::string> &args) {
    auto t0 = Clock::now();
    auto r = d.run(KELFCTL_BINARY, args, std::chrono::minutes(10));
    double s = secs(Clock::now() - t0);
    if (r.status != 0) {
        std::fprintf(stderr, "kelfctl failed (%d): %s\n", r.status, r.err.c_str());
        throw std::runtime_error("stopped");  // unwinds: every process is stopped
    }
    return s;
}

// The same rules through libkelfclient, one request each, as a client
// program would send them.
double raw(const DaemonProcess &d) {
    kelfclient::Client c = d.client();
    auto t0 = Clock::now();
    for (int i = 0; i < kRules; ++i) {
        if_kel_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = KEL_SET_DROP;
        r.kel_mem.group = i / 4000;
        r.kel_mem.rule_id = i % 4000 + 1;
        r.kel_mem.port = i % 40 + 1;
        r.kel_mem.dst_ip = 0x0A000000u | static_cast<std::uint32_t>((i / 256 % 256) << 16) |
                           static_cast<std::uint32_t>((i % 256) << 8);
        r.kel_mem.dst_ip_mask = 0xFFFFFF00u;
        r.kel_mem.ip_protocol = 6;
        r.kel_mem.dst_port = i % 60000 + 1;
        std::int32_t id = 0;
        if (!c.status(&r, sizeof r, &id) || id != r.kel_mem.rule_id)
            throw std::runtime_error("raw add refused");
    }
    return secs(Clock::now() - t0);
}

}  // namespace

int main() try {
    std::string text = rules_text();
    std::vector<double> batch, apply, again, lib;
    for (int run = 0; run < kRuns; ++run) {
        {
            DaemonProcess d;
            lib.push_back(raw(d));
        }
        {
            DaemonProcess d;
            std::string path = d.run_dir() + "/rules.kel";
            std::ofstream(path) << text;
            batch.push_back(timed(d, {"-b", path}));
        }
        {
            DaemonProcess d;
            std::string path = d.run_dir() + "/rules.conf";
            std::ofstream(path) << text;
            apply.push_back(timed(d, {"apply", path}));
            again.push_back(timed(d, {"apply", path}));
        }
    }
    double b = median(batch), a = median(apply), n = median(again), l = median(lib);
    std::printf("%d rules, median of %d runs\n", kRules, kRuns);
    std::printf("client library          %.3f s  %.0f rules/s, one request each\n", l, kRules / l);
    std::printf("kelfctl -b / library %.2f, kelfctl apply / library %.2f (target at least 1)\n",
                l / b, l / a);
    std::printf("kelfctl -b (baseline)   %.3f s  %.0f rules/s\n", b, kRules / b);
    std::printf("kelfctl apply           %.3f s  %.0f rules/s  ratio %.2f (target at least 0.9)\n",
                a, kRules / a, b / a);
    std::printf("no-change apply         %.3f s  (target under 1 s)\n", n);
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "config_bench", e.what());
    return 1;
}
