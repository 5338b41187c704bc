// The pid file's text. Its lock, stop and detaching are the process tests'
// subject (they need processes of their own).
#include "pidfile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <string>

namespace {

TEST(PidText, OnlyAPositivePidIsAPid) {
    EXPECT_EQ(kelf::parse_pid("4242\n"), 4242);
    EXPECT_EQ(kelf::parse_pid("17"), 17);
    EXPECT_EQ(kelf::parse_pid(std::to_string(INT_MAX)), INT_MAX);
    for (const char *bad : {"", "\n", "0\n", "-1\n", "-5", "+5", "12a\n", " 12", "12\n\n",
                            "2147483648", "99999999999999999999", "abc"})
        EXPECT_EQ(kelf::parse_pid(bad), -1) << '"' << bad << '"';
}

// A daemon that outlives the wait: stop says so with status 1 rather than
// pretending. The holder is a child of this test that ignores SIGTERM.
TEST(Stop, ADaemonThatOutlivesTheWaitIsAFailure) {
    char dir[] = "/tmp/kelfd-stop-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = kelf::pid_path(dir);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGTERM, SIG_IGN);
        kelf::PidFile pid;
        char ok = pid.acquire(path) == kelf::PidFile::Result::Ok ? 1 : 0;
        (void)!::write(ready[1], &ok, 1);
        for (;;) ::pause();
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelf::stop_daemon(path, std::chrono::milliseconds(300)), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("did not stop within 300 ms"), std::string::npos) << err;
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "still running";
    ::kill(child, SIGKILL);  // the test's own child, never 0 or -1
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    std::filesystem::remove_all(dir);
}

}  // namespace
