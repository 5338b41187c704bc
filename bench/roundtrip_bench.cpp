// Round trips of a no-action request (code 1) against the real kelfd
// process, and of the same accept / receive / send / close exchange against
// a minimal server written for this benchmark, measured in one run in
// alternating rounds so that both see the same machine.
#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_process.h"

namespace {

// The least a server of this protocol can do: one receive, a 4-byte
// reply, close.
[[noreturn]] void baseline_server(const std::string &path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ::unlink(path.c_str());
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || ::listen(s, 5) < 0)
        std::_Exit(1);
    static unsigned char buf[KEL_BUF_SIZE];
    for (;;) {
        int c = ::accept(s, nullptr, nullptr);
        if (c < 0) continue;
        ::recv(c, buf, sizeof buf, 0);
        int status = 0;
        ::send(c, &status, sizeof status, MSG_NOSIGNAL);
        ::close(c);
        std::memset(buf, 0, sizeof buf);
    }
}

double round_trips_per_second(const kelfclient::Client &c, int n) {
    unsigned char req[8] = {KEL_INIT};
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        std::int32_t r;
        if (!c.status(req, sizeof req, &r)) {
            std::fprintf(stderr, "request failed against %s\n", c.socket_path().c_str());
            throw std::runtime_error("stopped");  // unwinds: every process is stopped
        }
    }
    std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    return n / dt.count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Each round trip's own time, in milliseconds.
std::vector<double> latencies_ms(const kelfclient::Client &c, int n) {
    unsigned char req[8] = {KEL_INIT};
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        std::int32_t r;
        if (!c.status(req, sizeof req, &r))
            throw std::runtime_error("stopped");  // unwinds: every process is stopped
        out.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    return out;
}

// Connections that connect and never send.
std::vector<int> silent_clients(const std::string &path, int n) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            fds.push_back(s);
        else if (s >= 0)
            ::close(s);
    }
    return fds;
}

}  // namespace

int main(int argc, char **argv) try {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    int per_round = argc > 2 ? std::atoi(argv[2]) : 2000;

    kelftest::DaemonProcess daemon;
    std::string base_path = daemon.run_dir() + "/baseline.sock";
    pid_t base = ::fork();
    if (base == 0) baseline_server(base_path);
    if (base < 0) return 1;
    // Stops the baseline server on every way out, a failed round trip's too.
    struct Stop {
        pid_t pid;
        void now() {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }
        ~Stop() { now(); }
    } stop{base};
    kelfclient::Client kelfd(daemon.socket_path()), baseline(base_path);
    for (int i = 0; i < 200 && ::access(base_path.c_str(), F_OK) != 0; ++i) ::usleep(10000);

    round_trips_per_second(kelfd, 200);  // warm both up
    round_trips_per_second(baseline, 200);
    std::vector<double> k, b, ratio;
    for (int i = 0; i < rounds; ++i) {
        double rk = round_trips_per_second(kelfd, per_round);
        double rb = round_trips_per_second(baseline, per_round);
        k.push_back(rk);
        b.push_back(rb);
        ratio.push_back(rk / rb);
    }
    stop.now();
    std::printf("rounds %d x %d round trips, medians:\n", rounds, per_round);
    std::printf("kelfd    %.0f round trips/s\n", median(k));
    std::printf("baseline %.0f round trips/s\n", median(b));
    std::printf("ratio    %.3f (kelfd / baseline, median of per-round ratios)\n", median(ratio));

    // A real client's round trip, alone and with 6 silent connections open.
    std::vector<double> alone = latencies_ms(kelfd, per_round);
    std::vector<int> silent = silent_clients(daemon.socket_path(), 6);
    std::vector<double> beside = latencies_ms(kelfd, per_round);
    for (int fd : silent) ::close(fd);
    std::printf("round trip alone              median %.3f ms\n", median(alone));
    std::printf("round trip beside %zu silent    median %.3f ms, max %.3f ms\n", silent.size(),
                median(beside), *std::max_element(beside.begin(), beside.end()));
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", "roundtrip_bench", e.what());
    return 1;
}
