// The kelfctl binary against the real kelfd: what an operator types and
// what a script reads back.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;
using namespace std::chrono_literals;

DaemonProcess::Result kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    return d.run(KELFCTL_BINARY, args);
}

// Whether this kelfd serves a command family yet: kelfctl says so when it
// gets the status word in place of a record.
bool serves_rules(const DaemonProcess &d) {
    auto r = kelfctl(d, {"rule", "list", "group", "0"});
    return r.err.find("does not serve") == std::string::npos;
}

TEST(Kelfctl, ExitStatusesZeroOneTwoThree) {
    DaemonProcess d;
    auto ok = kelfctl(d, {"raw", "1"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "status 0\n");

    auto refused = kelfctl(d, {"raw", "204"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "status -1\n");
    EXPECT_TRUE(d.wait_out("keld: Unknown command\n"));
    auto unit = kelfctl(d, {"-u", "7", "config", "set", "mesh"});
    EXPECT_EQ(unit.status, 1);
    EXPECT_NE(unit.err.find("kelfd refused"), std::string::npos) << unit.err;

    auto usage = kelfctl(d, {"config", "set", "purple"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("see 'kelfctl config help'"), std::string::npos) << usage.err;

    d.signal(SIGTERM);
    ASSERT_NE(d.wait_exit(20s), -1);
    auto gone = kelfctl(d, {"config"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_NE(gone.err.find(d.socket_path()), std::string::npos) << gone.err;
    EXPECT_NE(gone.err.find("KELF_RUN_DIR=" + d.run_dir()), std::string::npos) << gone.err;
}

TEST(Kelfctl, ConfigurationAndMasksAsPrinted) {
    DaemonProcess d;
    ASSERT_EQ(kelfctl(d, {"config", "set", "mesh"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"config"}).out, "configuration 6 (mesh)\n");
    ASSERT_EQ(kelfctl(d, {"mask", "set", "1,2", "to", "4-5"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mask", "show", "1-3"}).out,
              "PORT  FORWARDS TO\n"
              "1     4-5\n"
              "2     4-5\n"
              "3     1-47\n");
    auto j = nlohmann::json::parse(kelfctl(d, {"-j", "mask", "show", "2"}).out);
    EXPECT_EQ(j["masks"][0]["egress"], nlohmann::json({4, 5}));
    ASSERT_EQ(kelfctl(d, {"config", "set", "isolated"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mask", "show", "1"}).out, "PORT  FORWARDS TO\n1     none\n");
}

TEST(Kelfctl, BatchFileStopsAtItsFailingLine) {
    DaemonProcess d;
    ASSERT_EQ(kelfctl(d, {"config", "set", "isolated"}).status, 0);
    std::string path = d.run_dir() + "/setup.kel";
    std::ofstream(path) << "# two masks, then a unit that is not up\n"
                           "mask set 1 to 2\n"
                           "\n"
                           "mask set 2 to 1   # and back\n"
                           "-u 6 config set mesh\n"
                           "mask set 3 to 1\n";
    auto r = kelfctl(d, {"-b", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Command failed " + path + ":5\n"), std::string::npos) << r.err;
    EXPECT_EQ(kelfctl(d, {"mask", "show", "1-3"}).out,
              "PORT  FORWARDS TO\n1     2\n2     1\n3     none\n")
        << "lines 2 and 4 ran, line 6 did not";

    auto forced = kelfctl(d, {"--force", "-b", path});
    EXPECT_EQ(forced.status, 1);
    EXPECT_EQ(kelfctl(d, {"mask", "show", "3"}).out, "PORT  FORWARDS TO\n3     1\n");
}

// Export a rule set, restart the daemon (it keeps nothing), import it.
TEST(Kelfctl, RuleSetExportedAndImportedAcrossARestart) {
    std::string exported;
    std::string listing;
    {
        DaemonProcess d;
        if (!serves_rules(d)) GTEST_SKIP() << "this kelfd has no rule engine yet";
        for (std::vector<std::string> add : {
                 std::vector<std::string>{"rule", "add", "redirect", "7", "in-port", "3"},
                 {"rule", "add", "group", "1", "id", "100", "drop", "src-ip", "10.0.0.0/8", "protocol",
                  "tcp", "dport", "443"},
                 {"rule", "add", "permit", "dst-mac", "00:11:22:33:44:55", "vlan", "100", "ethertype", "ipv4"},
                 {"rule", "add", "group", "2", "drop", "src-ip", "2001:db8::/32", "sport", "1024/0xfc00"},
             }) {
            auto r = kelfctl(d, add);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        auto e = kelfctl(d, {"rule", "list", "-d"});
        ASSERT_EQ(e.status, 0) << e.err;
        exported = e.out;
        listing = kelfctl(d, {"rule", "list"}).out;
        EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 4) << exported;
    }
    DaemonProcess d;
    EXPECT_EQ(kelfctl(d, {"rule", "list"}).out, "") << "a new kelfd starts without rules";
    std::string path = d.run_dir() + "/rules.kel";
    std::ofstream(path) << exported;
    auto imp = kelfctl(d, {"-b", path});
    ASSERT_EQ(imp.status, 0) << imp.err;
    EXPECT_EQ(kelfctl(d, {"rule", "list", "-d"}).out, exported);
    EXPECT_EQ(kelfctl(d, {"rule", "list"}).out, listing);
    auto stats = kelfctl(d, {"rule", "stats", "group", "1", "id", "100"});
    EXPECT_EQ(stats.status, 0) << stats.err;
}

}  // namespace
