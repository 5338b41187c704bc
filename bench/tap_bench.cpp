// TAP ports: iperf3 TCP and ping between two network namespaces through the
// TAP ports of kelfd's simulated switch holding 4,096 rules, against a veth
// pair between two other namespaces in the same run (the baseline).
//
//   tap_bench [SECONDS]     iperf3 run length, default 10
//
// Needs root, ip, ping and iperf3 (KELF_EXTRA_DEPS=iperf3 scripts/deps);
// says what is missing and exits 0 without them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "daemon_process.h"
#include "netns.h"

namespace {

using kelftest::DaemonProcess;
using kelftest::Namespaces;
using namespace std::chrono_literals;

constexpr int kRules = 4096;

struct Figures {
    double gbits = 0;  // iperf3 TCP, received
    double retransmits = 0;
    double rtt_ms = 0;  // ping, average
};

// 4,096 rules in group 0 (all it holds), of three shapes the classifier
// keeps in separate tuples; none matches the traffic between 192.0.2.1 and
// 192.0.2.2, so every frame is looked up against all of them and forwarded.
std::string rules_text() {
    std::string t;
    for (int i = 0; i < kRules; ++i) {
        std::string octets = std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
        switch (i % 3) {
            case 0:
                t += "rule add drop in-port " + std::to_string(i % 40 + 1) + " dst-ip 10." +
                     octets + ".0/24 protocol tcp dport " + std::to_string(i % 60000 + 1) + "\n";
                break;
            case 1:
                t += "rule add drop src-ip 198.51." + std::to_string(i % 256) +
                     ".0/24 protocol udp\n";
                break;
            default:
                t += "rule add drop in-port " + std::to_string(i % 2 + 1) + " protocol tcp dport " +
                     std::to_string(10000 + i) + "\n";
                break;
        }
    }
    return t;
}

// Throws, so that the namespaces and the daemon are undone on the way out.
[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

double ping_avg_ms(const Namespaces &ns, int from) {
    auto r = ns.exec(
        from, {kelftest::find_tool("ping"), "-n", "-q", "-c", "500", "-i", "0.002", "192.0.2.2"});
    // rtt min/avg/max/mdev = 0.031/0.045/0.080/0.010 ms
    auto at = r.out.find("rtt min/avg/max/mdev = ");
    if (r.status != 0 || at == std::string::npos) fail("ping failed: " + r.out + r.err);
    std::string rest = r.out.substr(at + 23);
    return std::atof(rest.substr(rest.find('/') + 1).c_str());
}

Figures measure(const Namespaces &ns, int a, int b, int seconds) {
    Figures f;
    f.rtt_ms = ping_avg_ms(ns, a);
    const std::string iperf3 = kelftest::find_tool("iperf3");
    kelftest::ToolResult server;
    std::thread s([&] {
        server = ns.exec(b, {iperf3, "-s", "-1"}, std::chrono::seconds(seconds + 30));
    });
    kelftest::ToolResult client;
    for (int tries = 0; tries < 20; ++tries) {  // until the server listens
        std::this_thread::sleep_for(200ms);
        client = ns.exec(a, {iperf3, "-c", "192.0.2.2", "-t", std::to_string(seconds), "-J"},
                         std::chrono::seconds(seconds + 20));
        if (client.status == 0 || client.out.find("connection refused") == std::string::npos) break;
    }
    s.join();
    if (client.status != 0) fail("iperf3 failed: " + client.out + client.err + server.err);
    auto j = nlohmann::json::parse(client.out);
    f.gbits = j.at("end").at("sum_received").at("bits_per_second").get<double>() / 1e9;
    f.retransmits = j.at("end").at("sum_sent").value("retransmits", 0.0);
    return f;
}

void kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    auto r = d.run(KELFCTL_BINARY, args, 10min);
    if (r.status != 0) fail("kelfctl failed: " + r.err);
}

void print(const char *what, const Figures &f) {
    std::printf("%-38s %8.2f Gbit/s  %5.0f retransmits  ping %.3f ms\n", what, f.gbits,
                f.retransmits, f.rtt_ms);
}

}  // namespace

int main(int argc, char **argv) try {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1) seconds = 10;
    if (auto why = kelftest::tap_unavailable({"ip", "ping", "iperf3"}); !why.empty()) {
        std::printf("tap_bench: skipped: %s (iperf3: KELF_EXTRA_DEPS=iperf3 scripts/deps)\n",
                    why.c_str());
        return 0;
    }
    kelftest::TapLock lock;
    if (!lock.held()) fail("another kelfd kept the TAP interfaces for over a minute");
    try {
        Namespaces ns(4);  // 0 and 1: through the switch; 2 and 3: the veth pair

        const std::string pid = std::to_string(::getpid());
        const std::string va = "kb" + pid + "a", vb = "kb" + pid + "b";
        auto veth = kelftest::run_tool(
            {kelftest::find_tool("ip"), "link", "add", va, "type", "veth", "peer", "name", vb});
        if (veth.status != 0) fail("ip link add veth: " + veth.err);
        kelftest::attach(ns, 2, va, "192.0.2.1/24");  // the pair goes with its namespaces
        kelftest::attach(ns, 3, vb, "192.0.2.2/24");
        Figures base = measure(ns, 2, 3, seconds);

        DaemonProcess::Options opt;
        opt.env["FMSIM_TAP"] = "1-2";
        DaemonProcess d(opt);
        std::string path = d.run_dir() + "/rules.kel";
        std::ofstream(path) << rules_text();
        kelfctl(d, {"-b", path});
        kelfctl(d, {"config", "set", "mesh"});
        kelftest::attach(ns, 0, "fms0p1", "192.0.2.1/24");
        kelftest::attach(ns, 1, "fms0p2", "192.0.2.2/24");
        Figures sw = measure(ns, 0, 1, seconds);

        // Jumbo frames: the ports take 15,360 bytes after the start-up.
        ns.ip(0, {"link", "set", "fms0p1", "mtu", "9000"});
        ns.ip(1, {"link", "set", "fms0p2", "mtu", "9000"});
        Figures jumbo = measure(ns, 0, 1, seconds);

        std::printf("iperf3 TCP %d s, one stream; ping: 500 echoes, 2 ms apart, average\n",
                    seconds);
        print("veth pair (baseline)", base);
        print("switch, TAP ports 1-2, 4,096 rules", sw);
        print("the same, MTU 9000", jumbo);
        std::printf("switch / veth: throughput %.3f, ping round trip %.2f times as long\n",
                    sw.gbits / base.gbits, sw.rtt_ms / base.rtt_ms);
        std::printf("target: at least 1 Gbit/s through the switch at MTU 1500: %s\n",
                    sw.gbits >= 1.0 ? "met" : "not met");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tap_bench: %s\n", e.what());
        return 1;
    }
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "tap_bench", e.what());
    return 1;
}
