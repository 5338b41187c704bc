// What an apply costs the switch's ACL compiler: compiles and applies per
// unit for a 5,000-rule change (fmsim counts them), with kelfd's
// transactions and against a kelfd without them; then, with fmsim charging
// a compile cost per rule held (FMSIM_COMPILE_NS_PER_RULE), the time to load
// 4,096 rules one request each against one apply in a transaction.
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "daemon_process.h"

namespace {

using Clock = std::chrono::steady_clock;

void write_file(const std::string &path, int rules) {
    std::ofstream f(path);
    f << "unit 0\n";
    for (int i = 0; i < rules; ++i)
        f << "rule add group " << i / 4000 << " id " << i + 1 << " drop dst-ip 10." << i / 65536
          << "." << (i / 256) % 256 << "." << i % 256 << "\n";
}

struct Counts {
    long compiles = -1, applies = -1;
};

Counts counts(const kelftest::DaemonProcess &d) {
    auto r = d.run(FMSIMCTL_BINARY, {"-j", "stats"});
    Counts c;
    auto j = nlohmann::json::parse(r.out, nullptr, false);
    if (!j.is_object()) return c;
    for (const auto &s : j["switches"])
        if (s["unit"] == 0) c = {s["compiles"].get<long>(), s["applies"].get<long>()};
    return c;
}

// Compiles and applies that an apply of `rules` rules made.
Counts apply_cost(bool atomic, int rules, double *seconds) {
    kelftest::DaemonProcess::Options o;
    if (!atomic) o.env["KELFD_EXTENSIONS"] = "0";
    kelftest::DaemonProcess d(o);
    const std::string path = d.run_dir() + "/f.conf";
    write_file(path, rules);
    Counts before = counts(d);
    auto t0 = Clock::now();
    auto r = d.run(KELFCTL_BINARY, {"apply", path}, std::chrono::minutes(10));
    *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Counts after = counts(d);
    if (r.status != 0) {
        std::fprintf(stderr, "apply failed: %s\n", r.err.c_str());
        return {};
    }
    return {after.compiles - before.compiles, after.applies - before.applies};
}

// 4,096 rules of one group: one request each through the client library,
// or one kelfctl apply. Seconds.
double load(bool one_by_one, long ns_per_rule) {
    kelftest::DaemonProcess::Options o;
    o.env["FMSIM_COMPILE_NS_PER_RULE"] = std::to_string(ns_per_rule);
    kelftest::DaemonProcess d(o);
    const std::string path = d.run_dir() + "/f.conf";
    write_file(path, KEL_MAX_RULES);
    auto t0 = Clock::now();
    if (one_by_one) {
        kelfclient::Client c = d.client();
        for (int i = 0; i < KEL_MAX_RULES; ++i) {
            if_kel_t r;
            std::memset(&r, 0, sizeof r);
            r.kel_cmd = KEL_SET_DROP;
            r.kel_mem.rule_id = i + 1;
            r.kel_mem.dst_ip = 0x0A000000u + static_cast<std::uint32_t>(i);
            r.kel_mem.dst_ip_mask = 0xFFFFFFFFu;
            std::int32_t id = 0;
            if (!c.status(&r, sizeof r, &id) || id != i + 1) return -1;
        }
    } else if (d.run(KELFCTL_BINARY, {"apply", path}, std::chrono::minutes(10)).status != 0) {
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main() {
    double ts = 0, ps = 0;
    Counts t = apply_cost(true, 5000, &ts);
    Counts p = apply_cost(false, 5000, &ps);
    std::printf("apply of 5000 new rules, in a transaction: %ld compiles, %ld applies, %.2f s\n",
                t.compiles, t.applies, ts);
    std::printf("apply of 5000 new rules, one by one:       %ld compiles, %ld applies, %.2f s\n",
                p.compiles, p.applies, ps);
    constexpr long kNs = 1000;  // 1 us per rule held for each compile
    double one = load(true, kNs), txn = load(false, kNs);
    std::printf(
        "compile cost %ld ns per rule held: 4096 rules one request each %.2f s, "
        "in one transaction %.2f s (%.0fx)\n",
        kNs, one, txn, txn > 0 ? one / txn : 0.0);
    return t.compiles == 1 && t.applies == 1 && one > 0 && txn > 0 ? 0 : 1;
}
