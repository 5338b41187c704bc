// The control server in-process, over a real socket in a temporary
// directory.
#include "server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelfd/kel_lib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Connects to path; -1 on failure.
int connect_to(const std::string &path) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

std::vector<unsigned char> read_all(int s) {
    std::vector<unsigned char> out;
    unsigned char buf[4096];
    ssize_t n;
    while ((n = ::recv(s, buf, sizeof buf, 0)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
}

int status_of(const std::vector<unsigned char> &r) {
    int v = 0;
    if (r.size() == 4) std::memcpy(&v, r.data(), 4);
    return r.size() == 4 ? v : 0x7eadbeef;
}

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelfd-server-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = kelf::socket_path(dir_);
        ASSERT_EQ(::pipe(wake_), 0);
    }
    void TearDown() override {
        stop();
        ::close(wake_[0]);
        ::close(wake_[1]);
        std::filesystem::remove_all(dir_);
    }
    void start(std::chrono::milliseconds timeout = kelf::ControlServer::kReceiveTimeout) {
        server_ = kelf::ControlServer::open(path_, timeout);
        ASSERT_TRUE(server_);
        thread_ = std::thread([this] { server_->run(wake_[0]); });
    }
    void stop() {
        if (thread_.joinable()) {
            ASSERT_EQ(::write(wake_[1], "x", 1), 1);
            thread_.join();
        }
    }
    // Sends bytes and returns the whole reply.
    std::vector<unsigned char> ask(const void *req, std::size_t len) {
        int s = connect_to(path_);
        EXPECT_GE(s, 0);
        EXPECT_EQ(::send(s, req, len, MSG_NOSIGNAL), static_cast<ssize_t>(len));
        auto r = read_all(s);
        ::close(s);
        return r;
    }
    std::vector<unsigned char> ask_code(std::uint32_t code) {
        unsigned char req[8] = {};
        std::memcpy(req, &code, 4);
        return ask(req, sizeof req);
    }

    std::string dir_, path_;
    int wake_[2] = {-1, -1};
    std::unique_ptr<kelf::ControlServer> server_;
    std::thread thread_;
};

TEST_F(ServerTest, ServesAnEightByteRequestAndUnknownCodes) {
    start();
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    EXPECT_EQ(status_of(ask_code(KEL_GET_POWER)), -1);
    EXPECT_EQ(status_of(ask_code(0xFFFFFFFFu)), -1);
}

TEST_F(ServerTest, SocketIsOwnerOnlyAndAStaleFileDoesNotStopTheStart) {
    { std::ofstream(path_) << "stale"; }
    ::umask(0);
    start();
    ::umask(022);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
}

TEST_F(ServerTest, PathTooLongIsRefused) {
    std::string longpath = dir_ + "/" + std::string(120, 'x');
    EXPECT_EQ(kelf::ControlServer::open(longpath), nullptr);
}

TEST_F(ServerTest, AClientThatClosesWithoutSendingDoesNotDisturbTheNext) {
    start();
    int s = connect_to(path_);
    ASSERT_GE(s, 0);
    ::close(s);
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
}

TEST_F(ServerTest, BytesBeyondOneRecordAreDiscarded) {
    start();
    std::vector<unsigned char> req(KEL_BUF_SIZE + 3000, 0);
    std::uint32_t code = KEL_INIT;
    std::memcpy(req.data(), &code, 4);
    // The tail would read as an unknown command if it were taken as a request.
    std::uint32_t bad = KEL_GET_POWER;
    std::memcpy(req.data() + KEL_BUF_SIZE, &bad, 4);
    EXPECT_EQ(status_of(ask(req.data(), req.size())), 0);
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
}

TEST_F(ServerTest, TwoClientsAreServedOneAfterTheOther) {
    start();
    int a = connect_to(path_);
    int b = connect_to(path_);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    unsigned char init[8] = {KEL_INIT};
    unsigned char unknown[8] = {KEL_GET_POWER};
    ASSERT_EQ(::send(b, unknown, 8, 0), 8);
    ASSERT_EQ(::send(a, init, 8, 0), 8);
    EXPECT_EQ(status_of(read_all(a)), 0);
    EXPECT_EQ(status_of(read_all(b)), -1);
    ::close(a);
    ::close(b);
}

TEST_F(ServerTest, ASilentClientHoldsTheNextOneAtMostTheTimeout) {
    start(300ms);
    int silent = connect_to(path_);
    ASSERT_GE(silent, 0);
    std::this_thread::sleep_for(20ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, 3s);
    ::close(silent);
}

TEST_F(ServerTest, AClientThatGoesAwayBeforeTheReplyDoesNotEndTheServer) {
    start();
    for (int i = 0; i < 20; ++i) {
        int s = connect_to(path_);
        ASSERT_GE(s, 0);
        unsigned char req[8] = {KEL_ENTRY_QUERY_LIST};
        ASSERT_EQ(::send(s, req, 8, 0), 8);
        ::close(s);
    }
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
}

// True when nothing has come back on s yet and it is still open.
bool still_waiting(int s) {
    unsigned char b;
    ssize_t n = ::recv(s, &b, 1, MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST_F(ServerTest, SilentClientsDelayNobodyAndAreAnsweredAfterTheirTimeout) {
    start(1500ms);
    std::vector<int> silent;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(connect_to(path_));
        ASSERT_GE(silent.back(), 0);
    }
    // Served while all six still wait: no receive time-out was spent on them.
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    EXPECT_EQ(status_of(ask_code(KEL_GET_POWER)), -1);
    for (int s : silent) EXPECT_TRUE(still_waiting(s));
    // A waiter that speaks late is still served as it always was.
    unsigned char init[8] = {KEL_INIT};
    ASSERT_EQ(::send(silent[3], init, 8, 0), 8);
    EXPECT_EQ(status_of(read_all(silent[3])), 0);
    // The others get the empty request's status once their time is up.
    for (int s : silent) {
        if (s != silent[3]) EXPECT_EQ(status_of(read_all(s)), 0);
        ::close(s);
    }
}

TEST_F(ServerTest, AStopEndsTheLoopWhileClientsStaySilent) {
    start();
    int s = connect_to(path_);
    ASSERT_GE(s, 0);
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);  // s is held now
    auto t0 = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kelf::ControlServer::kReceiveTimeout);
    EXPECT_TRUE(read_all(s).empty()) << "closed without a reply";
    ::close(s);
}

TEST_F(ServerTest, PastTheLimitTheLongestWaiterMakesRoomOnlyOnceItWaitedItsBound) {
    start();
    std::vector<int> silent;
    auto first = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kelf::ControlServer::kMaxPending; ++i) {
        silent.push_back(connect_to(path_));
        ASSERT_GE(silent.back(), 0);
        // One at a time, so the order of arrival is known.
        EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    }
    // The table is full: the next client waits in the backlog until the
    // first waiter has waited its bound, and only that one is let go.
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - first, kelf::ControlServer::kPushOutAfter);
    EXPECT_TRUE(read_all(silent.front()).empty()) << "the first waiter was let go";
    for (std::size_t i = 1; i < silent.size(); ++i) EXPECT_TRUE(still_waiting(silent[i])) << i;
    for (int s : silent) ::close(s);
}

TEST_F(ServerTest, ARecordInPiecesIsGatheredWhileOthersAreServed) {
    start();
    if_kel_lbg_t req{};
    req.kel_cmd = KEL_LBG_QUERY_LIST;
    // The record reply carries the list back as the request held it.
    req.kel_query_list.kel_lbg_list.lbg_list[31] = 0x5a5a;
    int s = connect_to(path_);
    ASSERT_GE(s, 0);
    ASSERT_EQ(::send(s, &req, 6, MSG_NOSIGNAL), 6);
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0) << "served while the record is half";
    EXPECT_TRUE(still_waiting(s));
    const auto *p = reinterpret_cast<const unsigned char *>(&req);
    ASSERT_EQ(::send(s, p + 6, sizeof req - 6, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof req - 6));
    auto reply = read_all(s);
    ::close(s);
    ASSERT_EQ(reply.size(), sizeof(kel_lbg_query_list_t));
    kel_lbg_query_list_t q;
    std::memcpy(&q, reply.data(), sizeof q);
    EXPECT_EQ(+q.kel_lbg_list.lbg_list[31], 0x5a5a) << "the record was read whole";
}

std::atomic<int> poll_failures{0}, accept_failures{0};

int failing_poll(pollfd *fds, nfds_t n, int timeout) {
    if (poll_failures > 0) {
        --poll_failures;
        errno = ENOMEM;
        return -1;
    }
    return ::poll(fds, n, timeout);
}

int failing_accept(int fd, sockaddr *a, socklen_t *len, int flags) {
    if (accept_failures > 0) {
        --accept_failures;
        errno = EMFILE;
        return -1;
    }
    return ::accept4(fd, a, len, flags);
}

TEST_F(ServerTest, PollAndAcceptFailuresPauseTheLoopButNeverEndIt) {
    poll_failures = 3;
    accept_failures = 3;
    kelf::ControlServer::set_syscalls(failing_poll, failing_accept);
    testing::internal::CaptureStderr();
    start();
    EXPECT_EQ(status_of(ask_code(KEL_INIT)), 0);
    stop();
    std::string err = testing::internal::GetCapturedStderr();
    kelf::ControlServer::set_syscalls(nullptr, nullptr);
    EXPECT_EQ(poll_failures, 0);
    EXPECT_EQ(accept_failures, 0);
    // Each kind of failure is reported once, however long it lasts.
    EXPECT_EQ(err, std::string("accept: ") + std::strerror(ENOMEM) +
                       "\naccept: " + std::strerror(EMFILE) + "\n");
}

}  // namespace
