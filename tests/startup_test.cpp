// The real kelfd's start-up tells the truth: it serves only switches that
// came up, refuses to run twice whatever happened to the pid file, and
// stops promptly when told to during the start.
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

int ask(const kelfclient::Client &c, std::uint32_t code, int unit = 0) {
    if_kel_t req{};
    req.kel_cmd = static_cast<int>(code);
    req.unit = unit;
    std::int32_t r = 0x7eadbeef;
    if (!c.status(&req, sizeof req, &r)) return 0x7eadbeef;
    return r;
}

// A run directory of the test's own, removed at the end.
struct RunDir {
    std::string path;
    RunDir() {
        char tmpl[] = "/tmp/kelfd-start-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~RunDir() { std::filesystem::remove_all(path); }
};

DaemonProcess::Options in(const RunDir &dir, std::map<std::string, std::string> env = {}) {
    DaemonProcess::Options o;
    o.wait_ready = false;
    o.env = std::move(env);
    o.env["KELF_RUN_DIR"] = dir.path;
    return o;
}

TEST(StartUp, WithoutASwitchTheDaemonNamesTheStepAndExitsOne) {
    for (const char *fault : {"fmOSInitialize#1", "fmCreateSemaphore#1", "fmInitialize#1",
                              "fmPlatformGetNumSwitches#1", "fmSetSwitchState#1"}) {
        SCOPED_TRACE(fault);
        RunDir dir;
        DaemonProcess d(in(dir, {{"FMSIM_FAIL", fault}}));
        EXPECT_EQ(d.wait_exit(30s), 1);
        std::string step = std::string(fault).substr(0, std::string(fault).find('#'));
        EXPECT_NE(d.err().find("kelfd: no switch came up"), std::string::npos) << d.err();
        EXPECT_NE(d.err().find(step), std::string::npos) << d.err();
        EXPECT_EQ(d.out().find("Switch is UP"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir.path + "/kelfctl.sock"));
        EXPECT_FALSE(std::filesystem::exists(dir.path + "/kelfctl.pid"));
    }
}

TEST(StartUp, SomeSwitchesUpAreServedAndTheMissingOnesNamed) {
    DaemonProcess::Options o;
    o.switches = 3;
    o.env["FMSIM_FAIL"] = "fmSetSwitchState#2";
    DaemonProcess d(o);
    EXPECT_EQ(ask(d.client(), KEL_GET_DEV_NUM), 1);
    EXPECT_EQ(ask(d.client(), KEL_GET_CFG, 0), 5);
    EXPECT_EQ(ask(d.client(), KEL_GET_CFG, 1), -1);
    EXPECT_NE(d.err().find("switch 1 did not come up (fmSetSwitchState: "), std::string::npos)
        << d.err();
    EXPECT_EQ(d.out().find("Switch is UP"), std::string::npos) << "not every switch is up";
}

TEST(StartUp, AStopDuringTheStartEndsItWithoutServing) {
    RunDir dir;
    DaemonProcess::Options o = in(dir);
    o.args = {"-v"};
    o.switches = 8;  // a start long enough to be interrupted
    DaemonProcess d(o);
    ASSERT_TRUE(d.wait_out("KELF daemon version", 20s));
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), 0);
    EXPECT_EQ(d.out().find("Switch is UP"), std::string::npos) << d.out();
    EXPECT_NE(d.out().find("KEL: GOT SIGTERM!"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/kelfctl.sock"));
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/kelfctl.pid"));
}

TEST(StartUp, APidFileThatIsALinkIsNeverWrittenThrough) {
    RunDir dir;
    std::string target = dir.path + "/precious";
    std::ofstream(target) << "keep me\n";
    std::filesystem::create_symlink(target, dir.path + "/kelfctl.pid");
    DaemonProcess d(in(dir));
    EXPECT_EQ(d.wait_exit(20s), 255);
    EXPECT_EQ(d.out(), dir.path + "/kelfctl.pid open failed\n");
    EXPECT_EQ(read_file(target), "keep me\n");
}

TEST(StartUp, ALongerStalePidIsReplacedWhole) {
    RunDir dir;
    std::ofstream(dir.path + "/kelfctl.pid") << "1234567890\n";
    DaemonProcess d(in(dir));
    kelfclient::Client c(dir.path + "/kelfctl.sock");
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (ask(c, KEL_INIT) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(ask(c, KEL_INIT), 0) << d.out();
    EXPECT_EQ(read_file(dir.path + "/kelfctl.pid"), std::to_string(d.pid()) + "\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), 0);
}

TEST(StartUp, ADaemonThatLostItsPidFileStillKeepsASecondAway) {
    DaemonProcess first;
    std::filesystem::remove(first.pid_path());
    DaemonProcess::Options o;
    o.wait_ready = false;
    o.env["KELF_RUN_DIR"] = first.run_dir();
    DaemonProcess second(o);
    EXPECT_EQ(second.wait_exit(20s), 255);
    EXPECT_EQ(second.out(), "keld already running! use `kelf stop` for exit\n");
    EXPECT_EQ(ask(first.client(), KEL_INIT), 0) << "the first one keeps its socket";
    EXPECT_TRUE(first.running());
}

TEST(StartUp, ASocketPathTooLongIsFoundBeforeTheBringUp) {
    std::string dir = "/tmp/" + std::string(100, 'k') + "XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    DaemonProcess::Options o;
    o.wait_ready = false;
    o.env["KELF_RUN_DIR"] = dir;
    DaemonProcess d(o);
    EXPECT_EQ(d.wait_exit(20s), 1);
    EXPECT_EQ(d.out().find("KELF daemon"), std::string::npos) << "nothing was started";
    EXPECT_FALSE(std::filesystem::exists(dir + "/kelfctl.pid"));
    std::filesystem::remove_all(dir);
}

TEST(StartUp, EveryIgnoredSignalLeavesTheDaemonServing) {
    DaemonProcess d;
    for (int sig : {SIGQUIT,   SIGXFSZ, SIGTTOU, SIGTTIN, SIGTSTP, SIGHUP,  SIGUSR1,  SIGPWR,
                    SIGSTKFLT, SIGUSR2, SIGPIPE, SIGALRM, SIGCHLD, SIGCONT, SIGURG,   SIGPROF,
                    SIGVTALRM, SIGXCPU, SIGPOLL, SIGSYS,  SIGTRAP, SIGABRT, SIGRTMIN, SIGRTMAX}) {
        d.signal(sig);
        EXPECT_EQ(ask(d.client(), KEL_INIT), 0) << strsignal(sig);
        EXPECT_TRUE(d.running()) << strsignal(sig);
    }
}

TEST(StartUp, StopLeavesAHolderAloneThatTheFileDoesNotName) {
    DaemonProcess d;
    // A process of the test's own, which the file now names instead.
    DaemonProcess::Options o;
    o.args = {"--version"};
    o.wait_ready = false;
    DaemonProcess other(o);
    ASSERT_EQ(other.wait_exit(10s), 0);
    std::ofstream(d.pid_path(), std::ios::trunc) << other.pid() << "\n";
    DaemonProcess::Result r = d.run(KELFD_BINARY_PATH, {"stop"}, 20s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("held by another process; not stopping it"), std::string::npos) << r.err;
    EXPECT_TRUE(d.running());
    EXPECT_EQ(ask(d.client(), KEL_INIT), 0);
}

}  // namespace
