#include "log_pump.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// A syslog that takes nothing until opened, as a full /dev/log does.
struct StalledLog {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::vector<std::string> got;

    void take(const std::string &line) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return open; });
        got.push_back(line);
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
};

// Writes all of text before the deadline, or returns false.
bool write_by(int fd, const std::string &text, std::chrono::steady_clock::time_point deadline) {
    std::size_t at = 0;
    while (at < text.size()) {
        ssize_t w = ::write(fd, text.data() + at, text.size() - at);
        if (w > 0) {
            at += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
}

TEST(LogPump, AStalledSyslogHoldsUpNoWriterAndHearsWhatItMissed) {
    int out[2], err[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
    StalledLog log;
    std::optional<kelf::LogPump> pump;
    pump.emplace(
        kelf::LogPump::Source{out[0], LOG_INFO, false},
        kelf::LogPump::Source{err[0], LOG_ERR, true},
        [&log](int, const std::string &line) { log.take(line); }, nullptr);
    // On every path: syslog takes again, the writers go, the pump stops.
    struct Finish {
        StalledLog &log;
        int out, err;
        std::optional<kelf::LogPump> &pump;
        ~Finish() {
            log.release();
            ::close(out);
            ::close(err);
            pump.reset();
        }
    } finish{log, out[1], err[1], pump};

    // Far more than the pipe and the queue hold: each write would block
    // for ever once the pump waited on syslog.
    constexpr int kLines = 3 * static_cast<int>(kelf::LogPump::kMaxQueuedLines);
    std::string text;
    for (int i = 0; i < kLines; ++i)
        text += "line " + std::to_string(i) + std::string(90, '.') + "\n";
    EXPECT_TRUE(write_by(out[1], text, std::chrono::steady_clock::now() + std::chrono::seconds(30)))
        << "the daemon's writes waited on syslog";

    log.release();
    ::close(out[1]);
    ::close(err[1]);
    finish.out = finish.err = -1;
    pump.reset();

    // What was dropped is told once syslog takes again; lines the pump read
    // meanwhile may be dropped and told later.
    unsigned long long dropped = 0, told = 0, taken = 0;
    for (const std::string &line : log.got) {
        unsigned long long n = 0;
        if (std::sscanf(line.c_str(), "kelfd: %llu messages dropped: syslog did not take them",
                        &n) == 1) {
            dropped += n;
            ++told;
        } else {
            ++taken;
        }
    }
    ASSERT_FALSE(log.got.empty());
    EXPECT_EQ(log.got.front().rfind("line 0.", 0), 0u) << "lines are kept in order, from the first";
    EXPECT_GE(told, 1u);
    EXPECT_LE(taken, 2 * (kelf::LogPump::kMaxQueuedLines + 1)) << "the queue is bounded";
    EXPECT_EQ(taken + dropped, static_cast<unsigned long long>(kLines))
        << "every line is either taken or counted";
}

}  // namespace
