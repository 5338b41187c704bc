// The client library's time-outs: a socket that takes connections but
// never answers, and one whose backlog is full, end the exchange within
// the time-out with a message that names the socket.
#include <gtest/gtest.h>
#include <kelfd/kelfclient.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace std::chrono_literals;

// A listening UNIX socket in a directory of its own that accepts nothing.
class SilentListener {
public:
    explicit SilentListener(int backlog) {
        char tmpl[] = "/tmp/kelfclient-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        path_ = dir_ + "/kelfctl.sock";
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path_.c_str());
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              ::listen(fd_, backlog) == 0;
    }
    ~SilentListener() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string dir_, path_;
    int fd_ = -1;
    bool ok_ = false;
};

std::chrono::duration<double> timed(const kelfclient::Client &c, kelfclient::Status *st) {
    auto t0 = std::chrono::steady_clock::now();
    std::int32_t v;
    *st = c.command(KEL_INIT, 0, &v);
    return std::chrono::steady_clock::now() - t0;
}

TEST(ClientTimeout, ADaemonThatNeverAnswersEndsTheExchangeNamingTheSocket) {
    SilentListener l(5);
    ASSERT_TRUE(l.ok());
    kelfclient::Client c(l.path(), 300ms);
    kelfclient::Status st;
    auto took = timed(c, &st);
    EXPECT_EQ(st.code, kelfclient::Status::Timeout);
    EXPECT_NE(st.message.find(l.path()), std::string::npos) << st.message;
    EXPECT_NE(st.message.find("did not answer within 0.3 s"), std::string::npos) << st.message;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 5s);
}

TEST(ClientTimeout, AFullBacklogEndsTheConnectNamingTheSocket) {
    SilentListener l(0);
    ASSERT_TRUE(l.ok());
    // Fill the backlog with connections nobody accepts.
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, l.path().c_str());
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            held.push_back(fd);
        else
            ::close(fd);
    }
    ASSERT_FALSE(held.empty());
    kelfclient::Client c(l.path(), 300ms);
    kelfclient::Status st;
    auto took = timed(c, &st);
    for (int fd : held) ::close(fd);
    EXPECT_EQ(st.code, kelfclient::Status::Timeout);
    EXPECT_NE(st.message.find("did not take the connection"), std::string::npos) << st.message;
    EXPECT_NE(st.message.find(l.path()), std::string::npos) << st.message;
    EXPECT_LT(took, 5s);
}

TEST(ClientTimeout, NothingListeningIsNoDaemonAtOnce) {
    kelfclient::Client c("/nonexistent/kelfctl.sock", 300ms);
    kelfclient::Status st;
    timed(c, &st);
    EXPECT_EQ(st.code, kelfclient::Status::NoDaemon);
}

}  // namespace
