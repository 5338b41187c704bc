// The Prometheus exporter: a scrape of a unit with every port and 4,096
// named rules, and of a full unit (32 x 4,096 rules) with rule series off,
// each against the same reads made by kelfctl in the same run; how long a
// scrape holds kelfd (its reads), and the exporter's resident memory.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "background.h"
#include "daemon_process.h"
#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelftest::Background;
using kelftest::DaemonProcess;
using namespace std::chrono_literals;

double secs(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using kelftest::free_port;

std::string scrape(int port) {
    return kelftest::http_get(port, "/metrics");
}

// The value of a one-sample metric in a scrape, or -1.
double metric(const std::string &text, const std::string &name) {
    auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

void fill(const DaemonProcess &d, int rules, bool named) {
    const std::string path = d.run_dir() + "/fill.kel";
    {
        std::ofstream f(path);
        for (int i = 0; i < rules; ++i)
            f << "rule add group " << i / 4096 << " id " << i % 4096 + 1 << " drop dst-ip 10."
              << (i >> 16 & 255) << "." << (i >> 8 & 255) << "." << (i & 255)
              << (named ? " comment r" + std::to_string(i) : std::string()) << "\n";
    }
    auto r = d.run(KELFCTL_BINARY, {"-b", path}, 10min);
    if (r.status != 0) throw std::runtime_error("filling the unit failed: " + r.err.substr(0, 300));
}

double kelfctl_reads(const DaemonProcess &d, bool rules) {
    auto t0 = Clock::now();
    std::vector<std::vector<std::string>> reads = {
        {"stats"}, {"port"}, {"lbg"}, {"mirror"}, {"mcast"}};
    if (rules) reads.push_back({"-s", "rule", "list"});
    for (const auto &a : reads)
        if (d.run(KELFCTL_BINARY, a, 10min).status != 0)
            throw std::runtime_error("kelfctl " + a[0] + " failed");
    return secs(Clock::now() - t0);
}

long rss_kib(pid_t pid, const char *field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    return -1;
}

struct Figures {
    double scrape, held, kelfctl;
    long rss, peak;
    std::size_t rule_series, bytes;
};

Figures measure(const DaemonProcess &d, const char *rules, bool with_rules) {
    const int port = free_port();
    Background ex(d.run_dir(), std::string("exporter-") + rules, EXPORTER_BINARY,
                  {"--web.listen-address=127.0.0.1:" + std::to_string(port),
                   "--socket=" + d.socket_path(), "--config=", std::string("--rules=") + rules});
    if (!ex.wait_out("serving", 20s)) throw std::runtime_error("the exporter did not start");
    std::vector<double> took, held, via;
    Figures f{};
    for (int i = 0; i < 5; ++i) {
        auto t0 = Clock::now();
        std::string text = scrape(port);
        took.push_back(secs(Clock::now() - t0));
        if (metric(text, "kelfd_up") != 1) throw std::runtime_error("kelfd_up is not 1");
        held.push_back(metric(text, "kelfd_scrape_duration_seconds"));
        via.push_back(kelfctl_reads(d, with_rules));
        f.bytes = text.size();
        f.rule_series = 0;
        for (auto at = text.find("\nkelfd_rule_frames_total{"); at != std::string::npos;
             at = text.find("\nkelfd_rule_frames_total{", at + 1))
            ++f.rule_series;
    }
    f.scrape = median(took);
    f.held = median(held);
    f.kelfctl = median(via);
    f.rss = rss_kib(ex.pid(), "VmRSS:");
    f.peak = rss_kib(ex.pid(), "VmHWM:");
    return f;
}

void report(const char *what, const Figures &f) {
    std::printf(
        "%s\n  scrape %.3f s (its reads of kelfd %.3f s), kelfctl's reads %.3f s: ratio "
        "%.2f\n  %zu rule series, %zu bytes; exporter resident %ld KiB (peak %ld KiB)\n",
        what, f.scrape, f.held, f.kelfctl, f.scrape / f.kelfctl, f.rule_series, f.bytes, f.rss,
        f.peak);
}

}  // namespace

int main() try {
    {
        DaemonProcess d;
        fill(d, 4096, true);
        report("every port and 4,096 named rules, --rules=named", measure(d, "named", true));
    }
    {
        DaemonProcess d;
        fill(d, 32 * 4096, false);
        report("a full unit (131,072 rules), --rules=none", measure(d, "none", false));
        report("the same unit, none of its rules named, --rules=named", measure(d, "named", true));
        report("the same unit, --rules=all (131,072 rule series)", measure(d, "all", true));
    }
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "exporter_bench: %s\n", e.what());
    return 1;
}
