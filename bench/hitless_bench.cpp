// Applies that alternate between two rule files while frames for every rule
// are replayed through the switch the whole time: how many frames were
// forwarded as neither file says. Two 200-rule files that differ in 141
// rules (20 removed, 20 added, 101 redirect targets changed), once with
// kelfd's transactions and once against a kelfd without its extensions,
// which kelfctl then applies one request at a time, in the same run.
#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRules = 200;

// What a file does with the frame of rule i: the port it redirects to, or
// 0 when the file has no such rule (the switch forwards the frame as it
// would without rules).
int target(bool b, int i) {
    if (i < 59) return 5;           // the same in both
    if (i < 160) return b ? 6 : 5;  // the redirect target changes
    if (i < 180) return b ? 0 : 5;  // only in the first
    return b ? 6 : 0;               // only in the second
}

void write_file(const std::string &path, bool b) {
    std::ofstream f(path);
    f << "unit 0\n";
    for (int i = 0; i < kRules; ++i)
        if (target(b, i) != 0)
            f << "rule add group 0 id " << i + 1 << " redirect " << target(b, i)
              << " in-port 3 dst-ip 192.0.2." << 20 + i << "\n";
}

bool write_frames(const std::string &path) {
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    if (dead == nullptr) return false;
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    if (d == nullptr) return false;
    for (int i = 0; i < kRules; ++i) {
        std::vector<unsigned char> f = {0x02, 0,
                                        0,    0,
                                        0,    0x02,
                                        0x02, 0,
                                        0,    0,
                                        0,    0x01,
                                        0x08, 0x00,
                                        0x45, 0,
                                        0,    46,
                                        0,    0,
                                        0x40, 0,
                                        64,   17,
                                        0,    0,
                                        192,  0,
                                        2,    1,
                                        192,  0,
                                        2,    static_cast<unsigned char>(20 + i),
                                        0x13, 0x88,
                                        0,    80,
                                        0,    26,
                                        0,    0};
        f.resize(60, 0);
        pcap_pkthdr h{};
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
    return true;
}

struct Figures {
    long frames = 0, wrong = 0;
    int applies = 0;
    double seconds = 0;
    bool failed = false;
};

Figures run(bool atomic, int applies) {
    kelftest::DaemonProcess::Options o;
    if (!atomic) o.env["KELFD_EXTENSIONS"] = "0";
    kelftest::DaemonProcess d(o);
    const std::string a = d.run_dir() + "/a.conf", b = d.run_dir() + "/b.conf";
    const std::string cap = d.run_dir() + "/frames.pcap";
    write_file(a, false);
    write_file(b, true);
    Figures fig;
    if (!write_frames(cap) || d.run(KELFCTL_BINARY, {"apply", a}).status != 0) {
        fig.failed = true;
        return fig;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0}, wrong{0};
    std::thread replay([&] {
        for (int k = 0; !stop; ++k) {
            auto r = d.run(FMSIMCTL_BINARY,
                           {"replay", cap, "in-port", "3", "-w",
                            d.run_dir() + "/out" + std::to_string(k % 2), "--trace", "--replace"});
            std::istringstream lines(r.out);
            int i = 0;
            for (std::string l; std::getline(lines, l);) {
                auto j = nlohmann::json::parse(l, nullptr, false);
                if (!j.is_object() || !j.contains("egress")) continue;
                const auto &e = j["egress"];
                // Where a rule sent it, or 0: no rule redirected it (the
                // switch forwards or drops it as without rules).
                int got = e.size() == 1 && e[0]["kind"] == "redirect" ? e[0]["port"].get<int>() : 0;
                ++frames;
                if (got != target(false, i) && got != target(true, i) && wrong++ == 0)
                    std::fprintf(stderr, "frame %d: got %d, files say %d or %d: %s\n", i, got,
                                 target(false, i), target(true, i), l.substr(0, 600).c_str());
                ++i;
            }
        }
    });
    auto t0 = Clock::now();
    for (int k = 0; k < applies; ++k) {
        auto r = d.run(KELFCTL_BINARY, {"apply", k % 2 ? a : b}, std::chrono::minutes(5));
        if (r.status != 0) {
            std::fprintf(stderr, "apply %d failed: %s\n", k, r.err.c_str());
            fig.failed = true;
            break;
        }
        ++fig.applies;
    }
    fig.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    replay.join();
    fig.frames = frames;
    fig.wrong = wrong;
    return fig;
}

}  // namespace

int main(int argc, char **argv) {
    const int applies = argc > 1 ? std::atoi(argv[1]) : 500;
    Figures t = run(true, applies);
    Figures p = run(false, applies);
    std::printf("%-34s %8s %10s %10s %8s\n", "", "applies", "frames", "wrong", "s");
    std::printf("%-34s %8d %10ld %10ld %8.1f\n", "transactions", t.applies, t.frames, t.wrong,
                t.seconds);
    std::printf("%-34s %8d %10ld %10ld %8.1f\n", "one request at a time (no extensions)", p.applies,
                p.frames, p.wrong, p.seconds);
    return t.failed || p.failed || t.wrong != 0 ? 1 : 0;
}
