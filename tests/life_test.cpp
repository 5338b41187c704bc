// The real kelfd's life: foreground and detached starts, the single
// instance, stop, signals, stale pid files.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;
using kelftest::read_file;
using namespace std::chrono_literals;

int ask(const kelfclient::Client &c, std::uint32_t code, int unit = 0, int port = 0) {
    if_kel_t req{};
    req.kel_cmd = static_cast<int>(code);
    req.unit = unit;
    req.port = port;
    std::int32_t r = 0x7eadbeef;
    if (!c.status(&req, sizeof req, &r)) return 0x7eadbeef;
    return r;
}

DaemonProcess::Options without_wait(std::vector<std::string> args) {
    DaemonProcess::Options o;
    o.args = std::move(args);
    o.wait_ready = false;
    return o;
}

TEST(Life, ForegroundStartBringsTheSwitchesUpAndServes) {
    DaemonProcess::Options o;
    o.switches = 2;
    DaemonProcess d(o);
    std::string out = d.out();
    auto banner = out.find("\nKELF daemon version 6.0.10.7.30.1\n");
    auto inserted = out.find("Switch #0 inserted!\n");
    auto inserted1 = out.find("Switch #1 inserted!\n");
    auto up = out.find("Switch is UP, all ports are now enabled\n");
    ASSERT_NE(banner, std::string::npos) << out;
    ASSERT_NE(inserted, std::string::npos) << out;
    ASSERT_NE(up, std::string::npos) << out;
    EXPECT_LT(banner, inserted);
    EXPECT_LT(inserted, inserted1);
    EXPECT_LT(inserted1, up);
    EXPECT_EQ(read_file(d.pid_path()), std::to_string(d.pid()) + "\n");

    kelfclient::Client c = d.client();
    EXPECT_EQ(ask(c, KEL_GET_DEV_NUM), 2);
    EXPECT_EQ(ask(c, KEL_GET_CFG, 0), 5);
    EXPECT_EQ(ask(c, KEL_GET_CFG, 1), 5);
    EXPECT_EQ(ask(c, KEL_GET_PORT_LINK, 0, 49), -1);
    // Link events come from the switch's event thread; port 1 is Ethernet,
    // port 41 PCI Express.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ask(c, KEL_GET_PORT_LINK, 0, 1) != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ask(c, KEL_GET_PORT_LINK, 0, 1), 1);
    EXPECT_EQ(ask(c, KEL_GET_PORT_LINK, 0, 41), 0);
    EXPECT_TRUE(d.wait_out("port event: unit 0 port 1 is up\n"));
}

TEST(Life, StopEndsTheDaemonBeforeItReturns) {
    DaemonProcess d;
    auto r = d.run(KELFD_BINARY_PATH, {"stop"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Already there when stop returns: stop waited for the shutdown.
    EXPECT_NE(d.out().find("KEL: GOT SIGTERM!\n"), std::string::npos) << d.out();
    EXPECT_FALSE(std::filesystem::exists(d.pid_path()));
    EXPECT_EQ(d.wait_exit(10s), 0);
    EXPECT_EQ(d.run(KELFD_BINARY_PATH, {"stop"}).status, 0) << "nothing left to stop";
}

TEST(Life, ASecondStartIsRefused) {
    DaemonProcess d;
    for (std::vector<std::string> args : {std::vector<std::string>{"-v"}, {}}) {
        auto r = d.run(KELFD_BINARY_PATH, args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "keld already running! use `kelf stop` for exit\n");
    }
    EXPECT_EQ(read_file(d.pid_path()), std::to_string(d.pid()) + "\n");
    EXPECT_EQ(ask(d.client(), KEL_INIT), 0);
}

TEST(Life, InterruptAndTerminateStopIt) {
    for (int sig : {SIGINT, SIGTERM}) {
        DaemonProcess d;
        d.signal(sig);
        EXPECT_EQ(d.wait_exit(10s), 0) << sig;
        EXPECT_NE(d.out().find("KEL: GOT SIGTERM!\n"), std::string::npos) << sig;
        EXPECT_FALSE(std::filesystem::exists(d.pid_path())) << sig;
    }
}

TEST(Life, OtherSignalsAreIgnored) {
    DaemonProcess d;
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD, SIGALRM, SIGTSTP}) {
        d.signal(sig);
        EXPECT_EQ(ask(d.client(), KEL_INIT), 0) << sig;
        EXPECT_TRUE(d.running()) << sig;
    }
    EXPECT_EQ(d.out().find("KEL: GOT SIGTERM!"), std::string::npos);
}

TEST(Life, DetachedStartHoldsThePidFileUntilStopped) {
    DaemonProcess d(without_wait({}));
    EXPECT_EQ(d.wait_exit(20s), 0) << "the foreground process returns at once";
    // The daemon itself goes on in the background.
    struct Stop {
        const DaemonProcess &d;
        ~Stop() { d.run(KELFD_BINARY_PATH, {"stop"}); }
    } stop{d};
    kelfclient::Client c = d.client();
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ask(c, KEL_INIT) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(ask(c, KEL_INIT), 0);
    pid_t pid = static_cast<pid_t>(std::stol(read_file(d.pid_path())));
    EXPECT_NE(pid, d.pid());
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    EXPECT_EQ(exe.filename(), "kelfd") << exe;
    EXPECT_EQ(d.out(), "") << "nothing reaches the terminal once detached";

    auto r = d.run(KELFD_BINARY_PATH, {"stop"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(d.pid_path()));
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid) + "/exe"))
        << "stop returns once the daemon has ended";
    EXPECT_NE(ask(c, KEL_INIT), 0);
}

TEST(Life, AStalePidFileDoesNotBlockTheNextStart) {
    DaemonProcess first;
    first.signal(SIGKILL);
    ASSERT_EQ(first.wait_exit(10s), 128 + SIGKILL);
    ASSERT_EQ(read_file(first.pid_path()), std::to_string(first.pid()) + "\n");

    DaemonProcess::Options o = without_wait({"-v"});
    o.env["KELF_RUN_DIR"] = first.run_dir();
    DaemonProcess second(o);
    kelfclient::Client c = first.client();  // the same run directory
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ask(c, KEL_INIT) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ask(c, KEL_INIT), 0);
    EXPECT_EQ(read_file(first.pid_path()), std::to_string(second.pid()) + "\n");
}

TEST(Life, StopNeverSignalsWhatAStalePidFileNames) {
    char tmpl[] = "/tmp/kelfd-stale-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    for (const char *text : {"garbage\n", "0\n", "-1\n", ""}) {
        std::ofstream(dir + "/kelfctl.pid") << text;
        DaemonProcess::Options o = without_wait({"stop"});
        o.env["KELF_RUN_DIR"] = dir;
        DaemonProcess stop(o);
        EXPECT_EQ(stop.wait_exit(10s), 0) << text;
        EXPECT_FALSE(std::filesystem::exists(dir + "/kelfctl.pid")) << text;
    }
    std::filesystem::remove_all(dir);
}

TEST(Life, AnUnwritablePidFileEndsTheStart) {
    DaemonProcess::Options o = without_wait({"-v"});
    o.env["KELF_RUN_DIR"] = "/nonexistent-kelfd-run";
    DaemonProcess d(o);
    EXPECT_EQ(d.wait_exit(10s), 255);
    EXPECT_EQ(d.out(), "/nonexistent-kelfd-run/kelfctl.pid open failed\n");
}

}  // namespace
