// fmsimctl capture: what leaves a port, to a pcap file, until a count or
// Ctrl-C.
#include <fmsim/control.h>
#include <signal.h>

#include <cstdint>
#include <ostream>

#include "command.h"
#include "frames.h"
#include "values.h"

namespace fmsimctl {
namespace {

volatile sig_atomic_t g_interrupted = 0;
void on_sigint(int) {
    g_interrupted = 1;
}

}  // namespace

int cmd_capture(Ctx &c, std::vector<std::string> &w) {
    auto file = take_pair(w, "-w", "a FILE.pcap");
    if (!file) usage("-w FILE.pcap is missing");
    std::int64_t count = -1;
    if (auto n = take_pair(w, "-c", "a COUNT")) {
        try {
            count = kelfctl::parse_int(*n, "-c COUNT", 1, INT64_MAX);
        } catch (const kelfctl::ValueError &e) {
            usage(e.what());
        }
    }
    if (w.empty()) usage("PORT is missing");
    int port = port_word(w.front(), "capture PORT");
    w.erase(w.begin());
    no_more(w);

    Link link(c.socket, c.timeout);
    Body b(fmsim::control::kCapture);
    b.put<std::int32_t>(c.unit).put<std::int32_t>(port);
    link.call(b.data());
    PcapWriter out(*file);
    out.open();
    // Ctrl-C ends the capture with the file complete.
    struct sigaction sa {
    }, old_int{}, old_term{};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    g_interrupted = 0;
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    struct Restore {
        struct sigaction a, b;
        ~Restore() {
            sigaction(SIGINT, &a, nullptr);
            sigaction(SIGTERM, &b, nullptr);
        }
    } restore{old_int, old_term};
    if (!c.json) {
        *c.err << "fmsimctl: capturing port " << port << " to " << *file << "; Ctrl-C ends\n";
    }
    std::int64_t got = 0;
    std::uint32_t dropped = 0;
    std::vector<std::uint8_t> msg;
    while (!g_interrupted && (count < 0 || got < count)) {
        if (!link.receive(&msg, 200)) {
            out.flush();
            continue;
        }
        if (msg[0] != fmsim::control::kFrame) continue;
        Fields f(msg, 1);
        auto ns = f.get<std::uint64_t>();
        (void)f.get<std::int32_t>();
        (void)f.get<std::uint8_t>();
        dropped = f.get<std::uint32_t>();
        std::size_t n = msg.size() - fmsim::control::kFrameHeader;
        out.write(static_cast<std::int64_t>(ns / 1000000000),
                  static_cast<std::int64_t>(ns / 1000 % 1000000), f.take(n), n);
        ++got;
    }
    out.flush();
    if (c.json)
        *c.out << c.dump(
                      Json{{"port", port}, {"frames", got}, {"dropped", dropped}, {"file", *file}})
               << '\n';
    else
        *c.out << got << " frame" << (got == 1 ? "" : "s") << " from port " << port
               << " written to " << *file
               << (dropped ? "; fmsim dropped " + std::to_string(dropped) +
                                 " this capture could not take"
                           : "")
               << '\n';
    return kExitOk;
}

}  // namespace fmsimctl
