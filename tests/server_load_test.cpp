// The real kelfd's socket under split records, short records, bursts and
// silent connections, and what a detached start tells its caller.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "daemon_process.h"
#include "testing/requests.h"

namespace {

using kelftest::DaemonProcess;
using kelftest::request;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A blocking connection to path; -1 on failure.
int connect_to(const std::string &path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
    if (s >= 0) ::close(s);
    return -1;
}

bool send_all(int s, const void *p, std::size_t n) {
    return ::send(s, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// The 4-byte status a reply holds, or a value no command answers.
int read_status(int s) {
    std::vector<unsigned char> r;
    unsigned char b[64];
    ssize_t n;
    while ((n = ::recv(s, b, sizeof b, 0)) > 0) r.insert(r.end(), b, b + n);
    int v = 0x7eadbeef;
    if (r.size() == 4) std::memcpy(&v, r.data(), 4);
    return v;
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

TEST(ServerFraming, ARecordWrittenInTwoPiecesInstallsTheRuleItDescribes) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    if_kel_t add = request(KEL_SET_DIR);
    add.kel_mem.port = 3;
    add.kel_mem.redir_port = 7;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&add);
    // The pause must stay below the short-record wait to mean a split
    // record; a try whose sleep overran on a busy machine does not count.
    int id = 0, tries = 0;
    for (; tries < 10 && id == 0; ++tries) {
        Fd s{connect_to(d.socket_path())};
        ASSERT_GE(s.fd, 0);
        ASSERT_TRUE(send_all(s.fd, bytes, 12));
        auto t0 = Clock::now();
        std::this_thread::sleep_for(3ms);
        ASSERT_TRUE(send_all(s.fd, bytes + 12, sizeof add - 12));
        int got = read_status(s.fd);
        if (Clock::now() - t0 < 15ms || got == 1) id = got;
    }
    ASSERT_EQ(id, 1) << "after " << tries << " tries";
    if_kel_t ask = request(KEL_ENTRY_QUERY);
    ask.kel_mem.rule_id = 1;
    kel_query_rule_t q{};
    ASSERT_TRUE(c.call(&ask, sizeof ask, &q, sizeof q));
    EXPECT_EQ(+q.ret, 0);
    EXPECT_EQ(+q.kel_mem.rule_act, KEL_ACT_REDIRECT);
    EXPECT_EQ(+q.kel_mem.port, 3);
    EXPECT_EQ(+q.kel_mem.redir_port, 7);
}

TEST(ServerFraming, AShortRecordAloneIsAnsweredWithinTheBound) {
    DaemonProcess d;
    // KEL_GET_CFG reads a whole if_kel; 8 bytes are all this client sends.
    if_kel_t get = request(KEL_GET_CFG);
    Fd s{connect_to(d.socket_path())};
    ASSERT_GE(s.fd, 0);
    auto t0 = Clock::now();
    ASSERT_TRUE(send_all(s.fd, &get, 8));
    EXPECT_EQ(read_status(s.fd), 5) << "the base operating configuration";
    // 20 ms of waiting, and room for a loaded machine's scheduling.
    EXPECT_LT(Clock::now() - t0, 1s);
}

// Clients on threads of their own, each connecting (blocking) and sending
// at the same moment; counts those answered with the switch count.
int burst(const std::string &path, int clients) {
    std::atomic<int> ready{0}, answered{0};
    std::atomic<bool> go{false};
    struct Arg {
        const std::string *path;
        std::atomic<int> *ready, *answered;
        std::atomic<bool> *go;
    } arg{&path, &ready, &answered, &go};
    auto body = [](void *p) -> void * {
        auto *a = static_cast<Arg *>(p);
        a->ready->fetch_add(1);
        while (!a->go->load()) std::this_thread::yield();
        Fd s{connect_to(*a->path)};
        std::uint32_t req[2] = {KEL_GET_DEV_NUM, 0};
        if (s.fd >= 0 && send_all(s.fd, req, sizeof req) && read_status(s.fd) == 1)
            a->answered->fetch_add(1);
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    std::vector<pthread_t> threads;
    for (int i = 0; i < clients; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, body, &arg) == 0) threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    while (ready.load() < static_cast<int>(threads.size())) std::this_thread::yield();
    go = true;
    for (pthread_t t : threads) pthread_join(t, nullptr);
    return threads.size() == static_cast<std::size_t>(clients) ? answered.load() : -1;
}

TEST(ServerAdmission, ABurstOfAThousandClientsIsAllAnswered) {
    DaemonProcess d;
    EXPECT_EQ(burst(d.socket_path(), 1000), 1000);
}

TEST(ServerAdmission, SixtyFourSilentConnectionsHoldUpNobodyInABurst) {
    DaemonProcess d;
    std::vector<Fd> silent;
    for (int i = 0; i < 64; ++i) {
        silent.push_back({connect_to(d.socket_path())});
        ASSERT_GE(silent.back().fd, 0);
    }
    auto t0 = Clock::now();
    EXPECT_EQ(burst(d.socket_path(), 200), 200);
    // Well below the receive time-out each silent connection may take.
    EXPECT_LT(Clock::now() - t0, 4s);
}

TEST(DetachedStart, AFailingStartExitsWithItsStatusAndReason) {
    DaemonProcess::Options o;
    o.args = {};
    o.wait_ready = false;
    o.env["FMSIM_FAIL"] = "fmInitialize#1";
    DaemonProcess d(o);
    EXPECT_EQ(d.wait_exit(30s), 1);
    EXPECT_NE(d.err().find("kelfd: no switch came up"), std::string::npos) << d.err();
    EXPECT_NE(d.err().find("fmInitialize"), std::string::npos) << d.err();
    EXPECT_FALSE(std::filesystem::exists(d.pid_path()));
}

TEST(DetachedStart, ReturnsOnceTheDaemonServesAndStopRemovesTheSocket) {
    DaemonProcess::Options o;
    o.args = {};
    o.wait_ready = false;
    DaemonProcess d(o);
    struct Stop {
        const DaemonProcess &d;
        ~Stop() { d.run(KELFD_BINARY_PATH, {"stop"}); }
    } stop{d};
    ASSERT_EQ(d.wait_exit(30s), 0) << d.err();
    std::int32_t n = 0;
    EXPECT_TRUE(d.client().command(KEL_GET_DEV_NUM, 0, &n)) << "served when the start returns";
    EXPECT_EQ(n, 1);
    auto r = d.run(KELFD_BINARY_PATH, {"stop"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(d.socket_path()));
}

TEST(DetachedStart, StartsWithItsStandardStreamsClosed) {
    DaemonProcess::Options o;
    o.args = {};
    o.wait_ready = false;
    o.closed_streams = true;
    DaemonProcess d(o);
    struct Stop {
        const DaemonProcess &d;
        ~Stop() { d.run(KELFD_BINARY_PATH, {"stop"}); }
    } stop{d};
    ASSERT_EQ(d.wait_exit(30s), 0) << "the start returns once the daemon serves";
    std::int32_t n = 0;
    EXPECT_TRUE(d.client().command(KEL_GET_DEV_NUM, 0, &n));
}

TEST(ServerLife, NoSocketFileAfterAStop) {
    DaemonProcess d;
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), 0);
    EXPECT_FALSE(std::filesystem::exists(d.socket_path()));
}

}  // namespace
