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
    EXPECT_EQ(unit.err, "kelfctl: unit 7 is not up: kelfd runs 1 switch\n");

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
        // A mirror rule needs its mirror (the import below makes it too).
        ASSERT_EQ(kelfctl(d, {"mirror", "add", "10"}).status, 0);
        for (std::vector<std::string> add : {
                 std::vector<std::string>{"rule", "add", "redirect", "7", "in-port", "3"},
                 {"rule", "add", "group", "1", "id", "100", "drop", "src-ip", "10.0.0.0/8",
                  "protocol", "tcp", "dport", "443"},
                 {"rule", "add", "permit", "dst-mac", "00:11:22:33:44:55", "vlan", "100",
                  "ethertype", "ipv4"},
                 {"rule", "add", "group", "2", "drop", "src-ip", "2001:db8::/32", "sport",
                  "1024/0xfc00"},
                 {"rule", "add", "group", "2", "mirror", "10", "protocol", "udp"},
             }) {
            auto r = kelfctl(d, add);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        auto e = kelfctl(d, {"rule", "list", "-d"});
        ASSERT_EQ(e.status, 0) << e.err;
        exported = e.out;
        listing = kelfctl(d, {"rule", "list"}).out;
        // The mirror the rules use is made first, so that it loads into a fresh kelfd.
        EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 6) << exported;
        EXPECT_EQ(exported.rfind("mirror add 10", 0), 0u) << exported;
        EXPECT_NE(exported.find(" mirror 10 protocol udp\n"), std::string::npos) << exported;
    }
    DaemonProcess d;
    EXPECT_EQ(kelfctl(d, {"rule", "list"}).out, "") << "a new kelfd starts without rules";
    ASSERT_EQ(kelfctl(d, {"mirror", "add", "10"}).status, 0);
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
        {{"rule", "add", "drop", "dst-ip", "0.0.0.0/2", "protocol", "tcp", "dport", "1024-65535"},
         "added 6 rules to group 0, ids 3-8, for dst-ip 0.0.0.0/2 protocol tcp dport 1024-65535\n"},
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
    EXPECT_EQ(kelfctl(d, {"lbg"}).out, "LBG  NAME  PORTS\n0    -     1,2,3,4\n" +
                                           std::to_string(second) + "    -     5,5,6\n");
    EXPECT_EQ(kelfctl(d, {"lbg", "delete", "0"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"lbg", "delete", "0"}).status, 1) << "already gone";
    // A failed create leaves nothing behind: a mirror cannot monitor its own port.
    auto failed = kelfctl(d, {"mirror", "add", "3", "ports", "3"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("mirror 3 is deleted again"), std::string::npos) << failed.err;
    EXPECT_EQ(kelfctl(d, {"mirror", "show", "3"}).status, 1);
    EXPECT_EQ(kelfctl(d, {"lbg", "list"}).out,
              "LBG  NAME  PORTS\n" + std::to_string(second) + "    -     5,5,6\n");

    ASSERT_EQ(kelfctl(d, {"mirror", "add", "10", "ports", "1,2"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "add-port", "10", "3-4"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "delete-port", "10", "1"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "vlan", "10", "100"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "add", "20"}).status, 0);
    EXPECT_EQ(
        kelfctl(d, {"mirror"}).out,
        "MIRROR  NAME  MONITORED PORTS  VLAN\n10      -     2-4              100\n20      -     "
        "none             frame's own\n");
    EXPECT_EQ(kelfctl(d, {"mirror", "show", "20"}).status, 0) << "a mirror without ports is there";
    EXPECT_EQ(kelfctl(d, {"mirror", "show", "30"}).status, 1);
    ASSERT_EQ(kelfctl(d, {"mirror", "delete", "20"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"mirror", "list"}).out,
              "MIRROR  NAME  MONITORED PORTS  VLAN\n10      -     2-4              100\n");

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
    EXPECT_EQ(l2["dst_mac"], "ff:ff:ff:00:00:00");
    EXPECT_EQ(l2["vlan2_id"], 0x0f0);
    EXPECT_EQ(l2["vlan_id"], before["vlan_id"])
        << "the other VLAN field of the pair keeps its value";
    EXPECT_EQ(l2["src_mac"], before["src_mac"]);
    EXPECT_EQ(l2["symmetric_mac"], true);

    ASSERT_EQ(
        kelfctl(d, {"hash", "set", "l3", "src-ip", "0xffffff00", "random-other", "on"}).status, 0);
    auto l3 = nlohmann::json::parse(kelfctl(d, {"-j", "hash", "show", "l3"}).out)["l3"];
    EXPECT_EQ(l3["src_ip"], 0xffffff00u);
    EXPECT_EQ(l3["random_other"], true);
}

}  // namespace

// A filter set as published classifier sets write it: zero networks and
// port ranges. It loads whole from a batch file and lists back as the
// value/mask rules it became, which load again to the same listing.
TEST(Kelfctl, AFilterSetWithZeroNetworksAndPortRangesLoadsWhole) {
    std::string set;
    int expected = 0;
    for (int i = 0; i < 40; ++i) {
        int n = i % 4 + 1;
        set += "rule add group 1 drop dst-ip 0.0.0.0/" + std::to_string(n) + " src-ip 10." +
               std::to_string(i) + ".0.0/16 protocol tcp dport 1024-65535\n";  // 6 rules each
        set += "rule add group 2 permit src-ip 0.0.0.0/" + std::to_string(i % 31 + 1) +
               " protocol udp sport 0-1023 dport 53\n";  // 1 rule each
        expected += 7;
    }
    DaemonProcess d;
    std::string path = d.run_dir() + "/filters.kel";
    std::ofstream(path) << set;
    auto load = kelfctl(d, {"-b", path});
    ASSERT_EQ(load.status, 0) << load.err;
    auto listed = kelfctl(d, {"rule", "list", "-d"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), expected);
    EXPECT_NE(listed.out.find(
                  "drop src-ip 10.0.0.0/16 dst-ip 0.0.0.0/1 protocol tcp dport 1024/0xfc00\n"),
              std::string::npos);
    EXPECT_NE(listed.out.find("permit src-ip 0.0.0.0/31 protocol udp sport 0/0xfc00 dport 53\n"),
              std::string::npos);

    DaemonProcess again;
    std::string exported = again.run_dir() + "/rules.kel";
    std::ofstream(exported) << listed.out;
    ASSERT_EQ(kelfctl(again, {"-b", exported}).status, 0);
    EXPECT_EQ(kelfctl(again, {"rule", "list", "-d"}).out, listed.out);
}

TEST(Kelfctl, IdsAreFoundInEveryGroupAndReferencesAreChecked) {
    DaemonProcess d;
    ASSERT_EQ(kelfctl(d, {"rule", "add", "group", "2", "id", "50", "drop"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"rule", "show", "id", "50"}).out,
              "GROUP  ID  ACTION  MATCH\n2      50  drop    any\n");
    EXPECT_EQ(kelfctl(d, {"r", "st", "id", "50"}).out, "GROUP  ID  FRAMES\n2      50  0\n");
    auto refused = kelfctl(d, {"rule", "add", "lbg", "1", "in-port", "3"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("load-balancing group 1 does not exist"), std::string::npos)
        << refused.err;
    ASSERT_EQ(kelfctl(d, {"lbg", "add", "1-4"}).out, "created load-balancing group 0\n");
    ASSERT_EQ(kelfctl(d, {"rule", "add", "id", "7", "lbg", "0", "in-port", "5"}).status, 0);
    auto used = kelfctl(d, {"lbg", "delete", "0"});
    EXPECT_EQ(used.status, 1);
    EXPECT_NE(used.err.find("(group 0: 7)"), std::string::npos) << used.err;
    EXPECT_EQ(kelfctl(d, {"--force", "lbg", "delete", "0"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"rule", "delete", "id", "50"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"rule", "list", "group", "2"}).out, "");
}

TEST(Kelfctl, EveryReadOfAUnitThatIsNotUpExitsOne) {
    DaemonProcess d;
    for (std::vector<std::string> read : {std::vector<std::string>{"rule", "list"},
                                          {"config"},
                                          {"mask", "show", "1"},
                                          {"port", "link", "1-2"},
                                          {"port", "show", "1"},
                                          {"stats", "show", "1"},
                                          {"lbg", "list"},
                                          {"-j", "mirror", "list"},
                                          {"hash", "show", "l2"},
                                          {"mcast", "show", "1"},
                                          {"gpio", "show", "4"},
                                          {"reg", "read", "0"},
                                          {"temp", "read", "0", "0x48", "1"},
                                          {"temp", "read", "0", "0x48"},
                                          {"lbg", "show", "0"}}) {
        read.insert(read.begin(), {"-u", "1"});
        auto r = kelfctl(d, read);
        EXPECT_EQ(r.status, 1) << read[2];
        EXPECT_NE(r.err.find("kelfctl: unit 1 is not up: kelfd runs 1 switch\n"), std::string::npos)
            << r.err;
    }
}

// The port table on fmsim: what each kind of port reports, in words.
TEST(Kelfctl, PortTableAndTemperaturesOnFmsim) {
    DaemonProcess d;
    auto r = kelfctl(d, {"-j", "port", "show", "0,1,41,50000"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto ports = nlohmann::json::parse(r.out)["ports"];
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0]["kind"], "cpu");
    EXPECT_EQ(ports[1]["kind"], "ethernet");
    EXPECT_EQ(ports[1]["mode"], "25gbase-sr");
    EXPECT_EQ(ports[1]["speed"], 25000);
    EXPECT_EQ(ports[1]["loopback"], "off");
    EXPECT_EQ(ports[2]["kind"], "pcie");
    EXPECT_EQ(ports[2]["mode"], "disabled");
    EXPECT_EQ(ports[3]["kind"], "internal");
    ASSERT_EQ(kelfctl(d, {"port", "set", "2", "loopback", "1"}).status, 0);
    EXPECT_EQ(
        nlohmann::json::parse(kelfctl(d, {"-j", "port", "show", "2"}).out)["ports"][0]["loopback"],
        1);
    auto text = kelfctl(d, {"port", "show", "2"});
    EXPECT_NE(text.out.find("25gbase-sr  25G"), std::string::npos) << text.out;

    // The sensors power up with their reading in register 0.
    auto temp = kelfctl(d, {"temp", "read", "0", "0x48"});
    EXPECT_NE(temp.out.find(" 41 \u00b0C\n"), std::string::npos) << temp.out << temp.err;
    EXPECT_EQ(nlohmann::json::parse(kelfctl(d, {"-j", "temp", "read", "1", "0x49"}).out)["celsius"],
              44);
}

TEST(Kelfctl, CountersAsATableAndWatchedAsJsonLines) {
    DaemonProcess d;
    auto table = kelfctl(d, {"stats", "show", "1-2"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(
        table.out.substr(0, table.out.find('\n')),
        "PORT  RX FRAMES  RX BYTES  RX DROPS  RX ERRORS  TX FRAMES  TX BYTES  TX DROPS  TX ERRORS");
    auto watch = kelfctl(d, {"stats", "watch", "1", "interval", "1", "count", "2"});
    ASSERT_EQ(watch.status, 0) << watch.err;
    EXPECT_EQ(std::count(watch.out.begin(), watch.out.end(), '\n'), 2)
        << "piped: one JSON line a sample";
    auto j = nlohmann::json::parse(watch.out.substr(0, watch.out.find('\n')));
    EXPECT_EQ(j["rates"][0]["port"], 1);
    EXPECT_TRUE(j["rates"][0]["rx_frames_per_s"].is_number());
}
