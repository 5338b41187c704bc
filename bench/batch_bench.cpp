// kelfctl -b against the raw client library, in the same run: 5,000 rules
// of a filter set (zero networks, prefixes, protocols, ports) added through
// libkelfclient one request each, then the same 5,000 as `rule add` lines of
// a batch file through the kelfctl binary. Both into the same groups of the
// same daemon, emptied in between, so the switch does the same work; the
// figure is the median ratio of the two add rates over rounds in
// alternating order.
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "daemon_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRules = 5000;

struct Filter {
    std::uint32_t src, src_mask, dst, dst_mask;
    int proto, dport, group;  // a group holds 4096 rules: two groups of 2,500
};

std::uint32_t prefix_mask(int n) {
    return n == 0 ? 0 : ~std::uint32_t{0} << (32 - n);
}

std::vector<Filter> filters() {
    std::vector<Filter> v;
    for (int i = 0; i < kRules; ++i) {
        int dn = i % 8 + 1;  // 0.0.0.0/1 .. /8
        v.push_back({0x0A000000u | (static_cast<std::uint32_t>(i) << 8), prefix_mask(24), 0,
                     prefix_mask(dn), i % 2 == 0 ? 6 : 17, 1 + i % 60000, 1 + i / 2500});
    }
    return v;
}

std::string ipv4(std::uint32_t a) {
    char b[16];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
    return b;
}

int prefix_len(std::uint32_t m) {
    return __builtin_popcount(m);
}

// The raw library: the requests kelfctl builds for the filters. Seconds,
// or a negative value when kelfd refused one.
double raw_adds(const kelfclient::Client &c, const std::vector<Filter> &f) {
    auto t0 = Clock::now();
    for (const Filter &x : f) {
        if_kel_t r;
        std::memset(&r, 0, sizeof r);
        r.kel_cmd = KEL_SET_DROP;
        r.kel_mem.group = x.group;
        r.kel_mem.src_ip = x.src;
        r.kel_mem.src_ip_mask = x.src_mask;
        r.kel_mem.dst_ip = 1;  // the stand-in of the zero network
        r.kel_mem.dst_ip_mask = x.dst_mask;
        r.kel_mem.ip_protocol = x.proto;
        r.kel_mem.dst_port = x.dport;
        std::int32_t id = 0;
        // kelfctl trims the zero tail of a request; so does this.
        std::size_t len = sizeof r;
        auto *p = reinterpret_cast<const unsigned char *>(&r);
        while (len > 8 && p[len - 1] == 0) --len;
        if (!c.status(&r, len, &id) || id < 1) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool clear(const kelfclient::Client &c) {
    std::int32_t cleared = -1;
    return c.command(KEL_CLEAR, 0, &cleared) && cleared == 0;
}

}  // namespace

int main() {
    kelftest::DaemonProcess daemon;
    kelfclient::Client c = daemon.client();
    std::vector<Filter> f = filters();

    std::string path = daemon.run_dir() + "/filters.kel";
    {
        std::ofstream out(path);
        for (const Filter &x : f)
            out << "rule add group " << x.group << " drop src-ip " << ipv4(x.src) << "/"
                << prefix_len(x.src_mask) << " dst-ip 0.0.0.0/" << prefix_len(x.dst_mask)
                << " protocol " << (x.proto == 6 ? "tcp" : "udp") << " dport " << x.dport << "\n";
    }

    // Rounds in alternating order, the table emptied between runs, so that
    // neither side always meets a fresh daemon; the median ratio is the
    // figure.
    constexpr int kRounds = 5;
    std::vector<double> ratios;
    double raw_best = 1e9, batch_best = 1e9;
    long lines = -1;
    for (int round = 0; round < kRounds; ++round) {
        double raw_s = 0, batch_s = 0;
        for (int side = 0; side < 2; ++side) {
            bool raw = (side == 0) == (round % 2 == 0);
            if (raw) {
                raw_s = raw_adds(c, f);
                if (raw_s < 0) {
                    std::fprintf(stderr, "raw add refused\n");
                    return 1;
                }
            } else {
                auto t0 = Clock::now();
                auto r = daemon.run(KELFCTL_BINARY, {"-b", path}, std::chrono::minutes(30));
                batch_s = std::chrono::duration<double>(Clock::now() - t0).count();
                if (r.status != 0) {
                    std::fprintf(stderr, "kelfctl -b failed: %s\n", r.err.c_str());
                    return 1;
                }
                if (round == kRounds - 1) {
                    auto listed = daemon.run(KELFCTL_BINARY, {"rule", "list", "-d"},
                                             std::chrono::minutes(10));
                    lines = 0;
                    for (char ch : listed.out) lines += ch == '\n';
                }
            }
            if (!clear(c)) {
                std::fprintf(stderr, "KEL_CLEAR failed\n");
                return 1;
            }
        }
        std::printf("round %d (%s first): raw %.0f rules/s, kelfctl -b %.0f rules/s, ratio %.3f\n",
                    round + 1, round % 2 == 0 ? "raw" : "kelfctl", kRules / raw_s, kRules / batch_s,
                    raw_s / batch_s);
        ratios.push_back(raw_s / batch_s);
        raw_best = std::min(raw_best, raw_s);
        batch_best = std::min(batch_best, batch_s);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("raw client library  best %d adds in %.2f s: %.0f rules/s\n", kRules, raw_best,
                kRules / raw_best);
    std::printf("kelfctl -b          best %d adds in %.2f s: %.0f rules/s (%ld listed back)\n",
                kRules, batch_best, kRules / batch_best, lines);
    std::printf("kelfctl -b / raw    median of %d rounds %.3f (lowest %.3f)\n", kRounds,
                ratios[kRounds / 2], ratios.front());
    return lines == kRules ? 0 : 1;
}
