// Real traffic through the simulated switch: kelfd with FMSIM_TAP, its TAP
// interfaces in network namespaces of the test's own, ping across the switch
// and a rule that stops it. Needs root (CI has it); skips without.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "daemon_process.h"
#include "netns.h"

namespace {

using kelftest::DaemonProcess;
using kelftest::Namespaces;
using kelftest::TapLock;
using namespace std::chrono_literals;

DaemonProcess::Result kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    return d.run(KELFCTL_BINARY, args);
}

// ping from namespace 0 to 192.0.2.2: true when a reply came back.
bool ping_across(const Namespaces &ns, const char *wait) {
    auto r = ns.exec(0, {kelftest::find_tool("ping"), "-n", "-q", "-c", "3", "-i", "0.2", "-W",
                         wait, "192.0.2.2"});
    return r.status == 0;
}

TEST(TapTraffic, PingCrossesTheSwitchUntilADropRuleCountsIt) {
    if (auto why = kelftest::tap_unavailable({"ip", "ping"}); !why.empty()) GTEST_SKIP() << why;
    TapLock lock;
    if (!lock.held()) GTEST_SKIP() << "another test kept the TAP interfaces for over a minute";

    // The namespaces outlive the daemon: its exit removes the TAP interfaces
    // from them, then the namespaces go.
    Namespaces ns(2);
    DaemonProcess::Options opt;
    opt.env["FMSIM_TAP"] = "1-2";
    DaemonProcess d(opt);
    ASSERT_TRUE(d.running()) << d.err();
    kelftest::attach(ns, 0, "fms0p1", "192.0.2.1/24");
    kelftest::attach(ns, 1, "fms0p2", "192.0.2.2/24");

    // Configuration 5, the start-up's, forwards between no ports.
    EXPECT_FALSE(ping_across(ns, "1"));
    auto cfg = kelfctl(d, {"config", "set", "mesh"});
    ASSERT_EQ(cfg.status, 0) << cfg.err;
    EXPECT_TRUE(ping_across(ns, "2")) << "ping through the switch in configuration 6";

    auto add = kelfctl(d, {"rule", "add", "drop", "protocol", "icmp", "in-port", "1"});
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_FALSE(ping_across(ns, "1")) << "the drop rule lets no echo request through";

    auto list = kelfctl(d, {"rule", "list", "-s", "-j"});
    ASSERT_EQ(list.status, 0) << list.err;
    auto rules = nlohmann::json::parse(list.out).at("rules");
    ASSERT_EQ(rules.size(), 1u) << list.out;
    EXPECT_GE(rules[0].at("frames").get<long>(), 3) << list.out;

    // Other traffic still crosses: the rule drops ICMP only.
    auto del = kelfctl(d, {"rule", "flush"});
    ASSERT_EQ(del.status, 0) << del.err;
    EXPECT_TRUE(ping_across(ns, "2"));
}

// kelfd started with FMSIM_TAP in a run directory of its own, outside the
// DaemonProcess harness so that it can run without a privilege.
struct FailedStart {
    kelftest::ToolResult result;
    bool left_files = false;
};

FailedStart start_refused(std::vector<std::string> argv, const std::string &tap) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelfd-tap-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    argv.insert(argv.end(), {KELFD_BINARY_PATH, "-v"});
    FailedStart f;
    f.result = kelftest::run_tool(argv, {{"KELF_RUN_DIR", tmpl}, {"FMSIM_TAP", tap}}, 30s);
    f.left_files = std::filesystem::exists(tmpl + "/kelfctl.pid") ||
                   std::filesystem::exists(tmpl + "/kelfctl.sock");
    std::filesystem::remove_all(tmpl);
    return f;
}

TEST(TapStart, MalformedPortListsStopTheDaemonAtStart) {
    const std::pair<const char *, const char *> cases[] = {
        {"1-99", "fmsim: FMSIM_TAP=1-99: switch 0 has no port 49\n"},
        {"1,x", "fmsim: FMSIM_TAP=1,x: 'x' is not a port or a range of ports (FIRST-LAST)\n"},
        {"3:1", "fmsim: FMSIM_TAP=3:1: unit 3: the platform has switches 0 to 0\n"},
    };
    for (const auto &[tap, message] : cases) {
        auto f = start_refused({}, tap);
        EXPECT_EQ(f.result.status, 1) << tap << "\n" << f.result.err;
        EXPECT_NE(f.result.err.find(message), std::string::npos) << f.result.err;
        EXPECT_NE(f.result.err.find("kelfd: no switch came up: fmInitialize"), std::string::npos)
            << f.result.err;
        EXPECT_FALSE(f.left_files) << tap;
    }
}

TEST(TapStart, WithoutNetAdminTheDaemonSaysWhatItNeeds) {
    std::vector<std::string> drop;
    if (::geteuid() == 0) {
        // root keeps its user but loses CAP_NET_ADMIN, so the run directory
        // stays writable and only the TAP interface is refused.
        std::string setpriv = kelftest::find_tool("setpriv");
        if (setpriv.empty())
            GTEST_SKIP() << "needs setpriv to start kelfd without CAP_NET_ADMIN as root";
        drop = {setpriv, "--inh-caps=-net_admin", "--bounding-set=-net_admin", "--"};
    }
    // Another daemon's fms0p1 would make the refusal EBUSY instead.
    TapLock lock;
    if (!lock.held()) GTEST_SKIP() << "another test kept the TAP interfaces for over a minute";
    auto f = start_refused(drop, "1");
    EXPECT_EQ(f.result.status, 1) << f.result.err;
    EXPECT_NE(f.result.err.find("fmsim: FMSIM_TAP needs "), std::string::npos) << f.result.err;
    EXPECT_NE(f.result.err.find("CAP_NET_ADMIN to create fms0p1: "), std::string::npos)
        << f.result.err;
    EXPECT_FALSE(f.left_files);
}

}  // namespace
