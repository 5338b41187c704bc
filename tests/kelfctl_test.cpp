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
        for (std::vector<std::string> add : {
                 std::vector<std::string>{"rule", "add", "redirect", "7", "in-port", "3"},
                 {"rule", "add", "group", "1", "id", "100", "drop", "src-ip", "10.0.0.0/8", "protocol",
                  "tcp", "dport", "443"},
                 {"rule", "add", "permit", "dst-mac", "00:11:22:33:44:55", "vlan", "100", "ethertype", "ipv4"},
                 {"rule", "add", "group", "2", "drop", "src-ip", "2001:db8::/32", "sport", "1024/0xfc00"},
                 {"rule", "add", "group", "2", "mirror", "10", "in-port", "9"},
             }) {
            auto r = kelfctl(d, add);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        auto e = kelfctl(d, {"rule", "list", "-d"});
        ASSERT_EQ(e.status, 0) << e.err;
        exported = e.out;
        listing = kelfctl(d, {"rule", "list"}).out;
        EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 5) << exported;
        EXPECT_NE(exported.find(" mirror 10 in-port 9\n"), std::string::npos) << exported;
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

// The README's session, word for word.
TEST(Kelfctl, TheReadmeSession) {
    DaemonProcess d;
    struct Step {
        std::vector<std::string> args;
        const char *out;
    };
    const Step steps[] = {
        {{"rule", "add", "redirect", "7", "in-port", "3", "dst-mac", "00:11:22:33:44:55"},
         "added rule 1 to group 0\n"},
        {{"rule", "list"},
         "GROUP  ID  ACTION      MATCH\n"
         "0      1   redirect 7  in-port 3 dst-mac 00:11:22:33:44:55\n"},
        {{"rule", "stats", "id", "1"}, "GROUP  ID  FRAMES\n0      1   0\n"},
        {{"config", "set", "mesh"}, ""},
        {{"config"}, "configuration 6 (mesh)\n"},
        {{"lbg", "add", "1-4"}, "created load-balancing group 0\n"},
        {{"rule", "add", "lbg", "0", "in-port", "5", "protocol", "tcp", "dport", "443"},
         "added rule 2 to group 0\n"},
    };
    for (const Step &s : steps) {
        auto r = kelfctl(d, s.args);
        EXPECT_EQ(r.status, 0) << s.args[0] << " " << s.args[1] << ": " << r.err;
        EXPECT_EQ(r.out, s.out) << s.args[0] << " " << s.args[1];
    }
}

TEST(Kelfctl, LoadBalancingGroupsMirrorsAndMulticast) {
    DaemonProcess d;
    ASSERT_EQ(kelfctl(d, {"lbg", "add", "1-4"}).out, "created load-balancing group 0\n");
    auto j = nlohmann::json::parse(kelfctl(d, {"-j", "lbg", "add", "5,5,6"}).out);
    int second = j["lbg"];
    EXPECT_EQ(kelfctl(d, {"lbg"}).out, "LBG\n0\n" + std::to_string(second) + "\n");
    EXPECT_EQ(kelfctl(d, {"lbg", "delete", "0"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"lbg", "delete", "0"}).status, 1) << "already gone";
    EXPECT_EQ(kelfctl(d, {"lbg", "list"}).out, "LBG\n" + std::to_string(second) + "\n");

    ASSERT_EQ(kelfctl(d, {"mirror", "add", "10", "ports", "1,2"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "add-port", "10", "3-4"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "delete-port", "10", "1"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "vlan", "10", "100"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "add", "20"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mirror"}).out, "MIRROR  MONITORED PORTS\n10      2-4\n20      none\n");
    EXPECT_EQ(kelfctl(d, {"mirror", "show", "20"}).status, 0) << "a mirror without ports is there";
    EXPECT_EQ(kelfctl(d, {"mirror", "show", "30"}).status, 1);
    ASSERT_EQ(kelfctl(d, {"mirror", "delete", "20"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mirror", "list"}).out, "MIRROR  MONITORED PORTS\n10      2-4\n");

    auto created = nlohmann::json::parse(kelfctl(d, {"-j", "mcast", "create"}).out);
    std::string g = std::to_string(created["group"].get<int>());
    auto shown = kelfctl(d, {"-j", "mcast", "show", g});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(nlohmann::json::parse(shown.out)["port"].is_number());
    EXPECT_EQ(kelfctl(d, {"mcast", "add-listener", g, "port", "3", "vlan", "100"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mcast", "delete", g}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mcast", "delete", g}).status, 1);
}

TEST(Kelfctl, HashFieldsSetByNameReadBack) {
    DaemonProcess d;
    auto before = nlohmann::json::parse(kelfctl(d, {"-j", "hash", "show", "l2"}).out)["l2"];
    ASSERT_EQ(kelfctl(d, {"hash", "set", "l2", "dst-mac", "ff:ff:ff:00:00:00", "vlan2-id", "0x0f0",
                          "symmetric-mac", "on"})
                  .status,
              0);
    auto l2 = nlohmann::json::parse(kelfctl(d, {"-j", "hash", "show", "l2"}).out)["l2"];
    EXPECT_EQ(l2["dst-mac"], "ff:ff:ff:00:00:00");
    EXPECT_EQ(l2["vlan2-id"], 0x0f0);
    EXPECT_EQ(l2["vlan-id"], before["vlan-id"]) << "the other VLAN field of the pair keeps its value";
    EXPECT_EQ(l2["src-mac"], before["src-mac"]);
    EXPECT_EQ(l2["symmetric-mac"], true);

    ASSERT_EQ(kelfctl(d, {"hash", "set", "l3", "src-ip", "0xffffff00", "random-other", "on"}).status, 0);
    auto l3 = nlohmann::json::parse(kelfctl(d, {"-j", "hash", "show", "l3"}).out)["l3"];
    EXPECT_EQ(l3["src-ip"], 0xffffff00u);
    EXPECT_EQ(l3["random-other"], true);
}

}  // namespace
