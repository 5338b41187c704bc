// fmsimctl replay of a 1,000,000-frame capture through the real kelfd on
// fmsim, in frames per second, against two baselines of the same run over
// the same frames: `fmsimctl send` (the frames through the control socket
// with nothing reported back or written) and fmsim_inject in this process
// (the pipeline alone). Every frame is redirected by one rule from port 3 to
// port 7, so each leaves the switch once and lands in DIR/port-7.pcap.
#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_process.h"
#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_forward.h"
#include "switch_setup.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 1000000;
constexpr int kRounds = 3;

std::vector<std::uint8_t> frame(int i) {
    const std::uint8_t head[] = {0x02,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0x02,
                                 0x02,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0x01,
                                 0x08,
                                 0x00,
                                 0x45,
                                 0,
                                 0,
                                 46,
                                 0,
                                 0,
                                 0x40,
                                 0,
                                 64,
                                 17,
                                 0,
                                 0,
                                 10,
                                 static_cast<std::uint8_t>(i >> 16),
                                 static_cast<std::uint8_t>(i >> 8),
                                 static_cast<std::uint8_t>(i),
                                 192,
                                 0,
                                 2,
                                 2,
                                 0x13,
                                 0x88,
                                 0,
                                 80,
                                 0,
                                 26,
                                 0,
                                 0};
    std::vector<std::uint8_t> f(60, 0);
    std::copy(std::begin(head), std::end(head), f.begin());
    return f;
}

void write_capture(const std::string &path) {
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        throw std::runtime_error("stopped");  // unwinds: every process is stopped
    }
    for (int i = 0; i < kFrames; ++i) {
        auto f = frame(i);
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + i / 1000000;
        h.ts.tv_usec = i % 1000000;
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

double seconds_of(const kelftest::DaemonProcess &d, const std::vector<std::string> &args) {
    auto t0 = Clock::now();
    auto r = d.run(FMSIMCTL_BINARY, args, std::chrono::minutes(5));
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (r.status != 0) {
        std::fprintf(stderr, "fmsimctl failed (%d): %s\n", r.status, r.err.c_str());
        throw std::runtime_error("stopped");  // unwinds: every process is stopped
    }
    return s;
}

// The same frames and rule in this process: the pipeline's own rate.
double in_process_seconds() {
    fmsimtest::switch_up(3, 7);
    fmsimtest::create_acl0();
    fm_aclValue v{};
    v.protocol = 17;
    v.protocolMask = 0xFF;
    fm_aclParamExt p{};
    p.logicalPort = 7;
    fmAddACLRuleExt(0, 0, 1, FM_ACL_MATCH_PROTOCOL, &v,
                    FM_ACL_ACTIONEXT_REDIRECT | FM_ACL_ACTIONEXT_COUNT, &p);
    fmsimtest::apply_acl0();
    std::vector<std::vector<std::uint8_t>> frames;
    frames.reserve(kFrames);
    for (int i = 0; i < kFrames; ++i) frames.push_back(frame(i));
    auto t0 = Clock::now();
    std::size_t left = 0;
    for (const auto &f : frames) left += fmsim_inject(0, 3, f).frames.size();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (left != static_cast<std::size_t>(kFrames)) {
        std::fprintf(stderr, "in process: %zu frames left, not %d\n", left, kFrames);
        throw std::runtime_error("stopped");  // unwinds: every process is stopped
    }
    return s;
}

}  // namespace

int main() try {
    kelftest::DaemonProcess d;
    std::string cap = d.run_dir() + "/million.pcap", out = d.run_dir() + "/out";
    write_capture(cap);
    auto r = d.run(KELFCTL_BINARY, {"rule", "add", "redirect", "7", "in-port", "3"});
    if (r.status != 0) {
        std::fprintf(stderr, "kelfctl: %s\n", r.err.c_str());
        return 1;
    }
    std::vector<double> replay, send;
    for (int round = 0; round < kRounds; ++round) {  // alternating: both see the same machine
        std::filesystem::remove_all(out);
        replay.push_back(seconds_of(d, {"replay", cap, "in-port", "3", "-w", out, "--replace"}));
        send.push_back(seconds_of(d, {"send", "in-port", "3", cap}));
    }
    auto frames = std::filesystem::file_size(out + "/port-7.pcap");
    double inproc = in_process_seconds();
    double rp = *std::min_element(replay.begin(), replay.end());
    double sd = *std::min_element(send.begin(), send.end());
    std::printf("frames per run             %d (port-7.pcap %ju bytes)\n", kFrames,
                static_cast<std::uintmax_t>(frames));
    std::printf("replay (report, pcaps)     %.0f frames/s (best of %d, %.2f s)\n", kFrames / rp,
                kRounds, rp);
    std::printf("send (nothing reported)    %.0f frames/s (%.2f s)\n", kFrames / sd, sd);
    std::printf("fmsim_inject in process    %.0f frames/s (%.2f s)\n", kFrames / inproc, inproc);
    std::printf("replay / send              %.2f\n", sd / rp);
    std::printf("replay / in process        %.2f\n", inproc / rp);
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "fmsimctl_bench", e.what());
    return 1;
}
