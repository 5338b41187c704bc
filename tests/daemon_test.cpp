// The real kelfd over its real socket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;
using namespace std::chrono_literals;

TEST(Daemon, AnswersNoActionAndUnknownCommands) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    std::int32_t r = 7;
    ASSERT_TRUE(c.command(KEL_INIT, 0, &r));
    EXPECT_EQ(r, 0);
    ASSERT_TRUE(c.command(KEL_GET_POWER, 0, &r));
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(d.wait_out("keld: Unknown command\n"));
    ASSERT_TRUE(c.command(KEL_CLEAR_GROUP, 0, &r));
    EXPECT_EQ(r, 0) << "a no-action code answers 0 after a refused request";
}

TEST(Daemon, ClientReportsAMissingDaemon) {
    kelfclient::Client c("/nonexistent-kelfd-dir/kelfctl.sock");
    std::int32_t r;
    kelfclient::Status st = c.command(KEL_INIT, 0, &r);
    EXPECT_EQ(st.code, kelfclient::Status::NoDaemon);
    EXPECT_NE(st.message.find("/nonexistent-kelfd-dir/kelfctl.sock"), std::string::npos);
}

TEST(Daemon, ShortReplyIsAnError) {
    DaemonProcess d;
    unsigned char req[8] = {KEL_INIT};
    unsigned char out[12];
    kelfclient::Status st = d.client().call(req, sizeof req, out, sizeof out);
    EXPECT_EQ(st.code, kelfclient::Status::Short);
}

TEST(Daemon, HelpAndVersionStartNothing) {
    // A run directory of its own: a pid file or socket there would show a start.
    DaemonProcess::Options o;
    o.args = {"--version"};
    o.wait_ready = false;
    DaemonProcess probe(o);
    ASSERT_EQ(probe.wait_exit(10s), 0);
    for (const char *arg : {"-h", "--help", "--version"}) {
        DaemonProcess::Result r = probe.run(KELFD_BINARY_PATH, {arg}, 10s);
        EXPECT_EQ(r.status, 0) << arg;
        if (std::string(arg) == "--version")
            EXPECT_EQ(r.out, "kelfd 0.2.0\n");
        else
            EXPECT_NE(r.out.find("usage: kelfd"), std::string::npos) << arg;
        EXPECT_EQ(r.out.find("KELF daemon"), std::string::npos) << arg << ": no start";
    }
    EXPECT_FALSE(std::filesystem::exists(probe.pid_path()));
    EXPECT_FALSE(std::filesystem::exists(probe.socket_path()));
}

}  // namespace
