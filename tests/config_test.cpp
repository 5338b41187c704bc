// A switch configuration kept in a file: kelfctl check, apply and save
// against the real kelfd, and the record of what was applied.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;
using nlohmann::json;
using namespace std::chrono_literals;

DaemonProcess::Result kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    return d.run(KELFCTL_BINARY, args);
}

std::string write(const DaemonProcess &d, const std::string &name, const std::string &text) {
    std::string path = d.run_dir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

json apply_json(const DaemonProcess &d, const std::string &path) {
    auto r = kelfctl(d, {"-j", "apply", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return json::parse(r.out);
}

// Every object kind and every rule field, those kelfd cannot report
// included.
const char kFull[] = R"(# the whole unit
config set mesh
mask set 1-2 to 4-5
mask set 3 to none
hash set l2 dst-mac ff:ff:ff:00:00:00 vlan-id 0x0f0 symmetric-mac on
hash set l3 src-ip 0xffffff00 dscp 0x3f random-other on
port set 3-4 parser 3 frame-update 0x6 ttl-update off
mirror add 10 ports 1-2
mirror vlan 10 5
lbg add web ports 1-4
lbg add db ports 5,5,6
mcast add video
mcast add-listener video port 3 vlan 100
rule add group 0 id 1 permit vlan 100 set-vlan-priority 5 in-port 2
rule add group 0 id 2 redirect 12 ethertype arp vlan-tag tagged
rule add group 1 id 5 lbg web dst-ip 10.0.0.0/8 src-mac 02:00:00:00:00:01
rule add group 1 id 6 mirror 10 protocol tcp dport 1024-2047
rule add group 2 id 1 rewrite set-user-bits 3 dst-mac 00:11:22:33:44:55
rule add group 2 id 2 rewrite set-vlan 7 set-switch-priority 4 src-ip 2001:db8::/32 sport 53
rule add group 3 id 9 drop mpls multicast mpls-header 0x8140/0xfff0
rule add group 3 id 10 lbg db protocol udp dport 53/0xfff0 src-ip 192.0.2.0/24
)";

TEST(ConfigFile, EveryObjectAndRuleFieldReachesAFreshDaemon) {
    DaemonProcess d;
    std::string path = write(d, "full.conf", kFull);
    json j = apply_json(d, path);
    EXPECT_EQ(j["created"], 12);  // a mirror, two groups, a multicast group, eight rules
    EXPECT_EQ(j["removed"], 0);

    EXPECT_EQ(kelfctl(d, {"config"}).out, "configuration 6 (mesh)\n");
    EXPECT_EQ(kelfctl(d, {"mask", "show", "1-4"}).out,
              "PORT  FORWARDS TO\n1     4-5\n2     4-5\n3     none\n4     1-47\n");
    json l2 = json::parse(kelfctl(d, {"-j", "hash", "show", "l2"}).out);
    EXPECT_EQ(l2.dump().find("ff:ff:ff:00:00:00") != std::string::npos, true) << l2.dump();
    auto ports = kelfctl(d, {"port", "show", "3-5"}).out;
    EXPECT_NE(ports.find("3"), std::string::npos);
    auto mirrors = kelfctl(d, {"mirror"}).out;
    EXPECT_NE(mirrors.find("10      1-2"), std::string::npos) << mirrors;
    EXPECT_EQ(json::parse(kelfctl(d, {"-j", "lbg"}).out)["lbgs"].size(), 2u);

    // What kelfd cannot report is in the record, and `rule list -d` writes
    // the rules whole from it.
    std::string record = kelftest::read_file(d.run_dir() + "/kelfctl.applied");
    EXPECT_EQ(record.rfind("daemon " + std::to_string(d.pid()) + " ", 0), 0u) << record;
    for (const char *want : {"0 mirror-vlan 10 5", "0 lbg web ", "0 lbg db ", " 5,5,6\n",
                             "0 mcast video ", "0 listener video 3 100", "set-vlan-priority 5",
                             "vlan-tag tagged", "set-user-bits 3", "set-vlan 7"})
        EXPECT_NE(record.find(want), std::string::npos) << want << "\n" << record;
    auto listed = kelfctl(d, {"rule", "list", "-d"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    for (const char *want :
         {"rule add group 0 id 1 permit set-vlan-priority 5 in-port 2 vlan 100",
          "rule add group 0 id 2 redirect 12 ethertype arp vlan-tag tagged",
          "rule add group 1 id 6 mirror 10 protocol tcp dport 1024/0xfc00",
          "rule add group 2 id 1 rewrite set-user-bits 3 dst-mac 00:11:22:33:44:55",
          "rule add group 2 id 2 rewrite set-vlan 7 set-switch-priority 4"})
        EXPECT_NE(listed.out.find(want), std::string::npos) << want << "\n" << listed.out;

    // Applied again: nothing sent that changes anything, same ids.
    std::string before = kelfctl(d, {"rule", "list"}).out;
    json again = apply_json(d, path);
    EXPECT_EQ(again["requests"], 0) << again.dump();
    EXPECT_EQ(again["created"], 0);
    EXPECT_EQ(again["changed"], 0);
    EXPECT_EQ(again["removed"], 0);
    EXPECT_EQ(kelfctl(d, {"rule", "list"}).out, before);
    EXPECT_EQ(kelfctl(d, {"apply", path}).out.find("nothing changed") != std::string::npos, true);
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 0);
}

TEST(ConfigFile, EditsChangeOnlyWhatChangedAndKeepRulesAtTheirIds) {
    DaemonProcess d;
    std::string path = write(d, "a.conf",
                             "lbg add web ports 1-4\n"
                             "mirror add 10 ports 1\n"
                             "mirror add 11 ports 2\n"
                             "rule add group 0 id 1 lbg web in-port 5\n"
                             "rule add group 0 id 2 drop in-port 6\n"
                             "rule add group 0 id 3 permit in-port 7\n"
                             "rule add group 0 id 4 mirror 11 protocol udp\n");
    apply_json(d, path);
    int old_lbg = json::parse(kelfctl(d, {"-j", "lbg"}).out)["lbgs"][0]["lbg"];
    // A rule changed, the group's ports changed, a mirror and its rule removed, a rule added.
    write(d, "a.conf",
          "lbg add web ports 1-3\n"
          "mirror add 10 ports 1\n"
          "rule add group 0 id 1 lbg web in-port 5\n"
          "rule add group 0 id 2 drop in-port 9\n"
          "rule add group 0 id 3 permit in-port 7\n"
          "rule add group 0 id 5 drop in-port 10\n");
    auto plan = kelfctl(d, {"-j", "check", path});
    EXPECT_EQ(plan.status, 1) << plan.err;
    json p = json::parse(plan.out);
    EXPECT_FALSE(p["in_sync"].get<bool>());
    json j = apply_json(d, path);
    EXPECT_EQ(j["created"], 1);  // rule 5
    EXPECT_EQ(j["changed"], 3);  // lbg web, rule 1 (new group), rule 2
    EXPECT_EQ(j["removed"], 3);  // rule 4, the old group, mirror 11

    json rules = json::parse(kelfctl(d, {"-j", "rule", "list"}).out)["rules"];
    ASSERT_EQ(rules.size(), 4u) << rules.dump();
    EXPECT_EQ(rules[0]["id"], 1);  // kept its slot, moved to the new group
    EXPECT_EQ(rules[2]["id"], 3);
    EXPECT_EQ(rules[2]["match"]["in_port"], 7);
    json lbgs = json::parse(kelfctl(d, {"-j", "lbg"}).out)["lbgs"];
    ASSERT_EQ(lbgs.size(), 1u);
    EXPECT_NE(lbgs[0]["lbg"], old_lbg);
    EXPECT_EQ(rules[0]["lbg"], lbgs[0]["lbg"]);
    EXPECT_EQ(kelfctl(d, {"mirror"}).out.find("11 "), std::string::npos);
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 0);

    // Drift made by hand is seen where kelfd reports it.
    ASSERT_EQ(kelfctl(d, {"rule", "delete", "group", "0", "id", "3"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mask", "set", "7", "to", "8"}).status, 0);
    auto drift = kelfctl(d, {"check", path});
    EXPECT_EQ(drift.status, 1);
    EXPECT_NE(drift.out.find("create  unit 0  rule add group 0 id 3 permit in-port 7"),
              std::string::npos)
        << drift.out;
    EXPECT_NE(drift.out.find("config set isolated"), std::string::npos) << drift.out;
    apply_json(d, path);
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 0);
}

TEST(ConfigFile, EveryErrorIsReportedAndNothingChanges) {
    DaemonProcess d;
    std::string path = write(d, "bad.conf",
                             "config set mesh\n"
                             "rule add group 0 id 1 drop in-port 3\n"
                             "rule add group 0 id 2 drop in-port 99\n"
                             "# fine\n"
                             "lbg add web ports 1-4\n"
                             "rule add group 0 id 3 lbg web\n"
                             "mask set 1 to 2\n"
                             "\n"
                             "rule add group 0 id 4 lbg nosuch\n");
    for (const char *cmd : {"check", "apply"}) {
        auto r = kelfctl(d, {cmd, path});
        EXPECT_EQ(r.status, 2) << cmd;
        EXPECT_NE(r.err.find(path + ":3: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(path + ":9: "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(path + ":2: "), std::string::npos) << r.err;
    }
    EXPECT_EQ(kelfctl(d, {"config"}).out, "configuration 5 (isolated)\n");
    EXPECT_EQ(kelfctl(d, {"rule", "list"}).out, "");
    json j = json::parse(kelfctl(d, {"-j", "check", path}).out);
    EXPECT_FALSE(j["valid"].get<bool>());
    EXPECT_EQ(j["errors"].size(), 2u);

    // Check's three answers: in sync, drifted, invalid; and the file alone
    // when kelfd is not running.
    std::string good = write(d, "good.conf", "config set isolated\n");
    EXPECT_EQ(kelfctl(d, {"check", good}).status, 0);
    ASSERT_EQ(kelfctl(d, {"config", "set", "mesh"}).status, 0);
    EXPECT_EQ(kelfctl(d, {"check", good}).status, 1);
    d.signal(SIGTERM);
    ASSERT_NE(d.wait_exit(20s), -1);
    auto alone = kelfctl(d, {"check", good});
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 2);
}

TEST(ConfigFile, SaveThenApplyOnAFreshDaemonRoundTrips) {
    std::string saved;
    {
        DaemonProcess a;
        std::string path = write(a, "full.conf", kFull);
        apply_json(a, path);
        auto s = kelfctl(a, {"save"});
        ASSERT_EQ(s.status, 0) << s.err;
        saved = s.out;
    }
    DaemonProcess b;
    std::string path = write(b, "saved.conf", saved);
    apply_json(b, path);
    auto s = kelfctl(b, {"save", b.run_dir() + "/again.conf"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(kelftest::read_file(b.run_dir() + "/again.conf"), saved);
    EXPECT_EQ(kelfctl(b, {"check", write(b, "full.conf", kFull)}).status, 0);
}

TEST(ConfigFile, SaveRefusesWhatItCannotDescribe) {
    DaemonProcess d;
    apply_json(d, write(d, "a.conf", "rule add group 0 id 1 drop in-port 3\n"));
    ASSERT_EQ(
        kelfctl(d, {"rule", "add", "group", "1", "permit", "vlan", "100", "set-vlan-priority", "5"})
            .status,
        0);
    ASSERT_EQ(kelfctl(d, {"lbg", "add", "1-2"}).status, 0);
    ASSERT_EQ(kelfctl(d, {"mirror", "add", "12", "ports", "3"}).status, 0);
    std::string out = d.run_dir() + "/saved.conf";
    auto r = kelfctl(d, {"save", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rule 1 of group 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("load-balancing group 0"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("mirror 12"), std::string::npos) << r.err;
    EXPECT_EQ(kelftest::read_file(out), "") << "nothing written";

    auto partial = kelfctl(d, {"save", out, "--partial"});
    EXPECT_EQ(partial.status, 0) << partial.err;
    std::string text = kelftest::read_file(out);
    EXPECT_NE(text.find("rule add group 0 id 1 drop in-port 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("group 1"), std::string::npos) << text;
    EXPECT_NE(partial.err.find("rule 1 of group 1"), std::string::npos);

    // The old export names what it cannot write instead of a comment.
    ASSERT_EQ(kelfctl(d, {"rule", "add", "group", "2", "rewrite", "set-user-bits", "3"}).status, 0);
    auto e = kelfctl(d, {"rule", "list", "-d"});
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.out.find("#"), std::string::npos) << e.out;
    EXPECT_NE(e.err.find("not exported: rule 1 of group 2: kelfd does not report its action"),
              std::string::npos)
        << e.err;
}

// Stops the kelfd a test started by hand in a daemon's run directory.
struct StopKelfd {
    const DaemonProcess &d;
    ~StopKelfd() { d.run(KELFD_BINARY_PATH, {"stop"}); }
};

TEST(ConfigFile, ARestartedDaemonHoldsNothingAndApplyRestoresIt) {
    DaemonProcess d;
    std::string path = write(d, "full.conf", kFull);
    apply_json(d, path);
    std::string listed = kelfctl(d, {"rule", "list", "-d"}).out;
    d.signal(SIGTERM);
    ASSERT_NE(d.wait_exit(20s), -1);

    // The same run directory, a new process: its record is void.
    StopKelfd stop{d};
    ASSERT_EQ(d.run(KELFD_BINARY_PATH, {}).status, 0);
    auto check = kelfctl(d, {"--wait", "20", "-j", "check", path});
    EXPECT_EQ(check.status, 1) << check.err;
    json j = apply_json(d, path);
    EXPECT_EQ(j["unchanged"], 0);
    EXPECT_EQ(kelfctl(d, {"rule", "list", "-d"}).out, listed);
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 0);
}

TEST(ConfigFile, AnInterruptedApplyIsCompletedByTheNext) {
    DaemonProcess::Options o;
    o.env["FMSIM_FAIL"] = "fmAddACLRuleExt#4";
    DaemonProcess d(o);
    std::string path = write(d, "full.conf", kFull);
    auto first = kelfctl(d, {"apply", path});
    EXPECT_EQ(first.status, 1);
    // The switch refused a rule of the transaction: none of them took force.
    EXPECT_NE(first.err.find("apply stopped at the commit of the rules"), std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("kelfd: kel: transaction"), std::string::npos) << first.err;
    EXPECT_EQ(kelfctl(d, {"-j", "rule", "list"}).out.find("\"id\""), std::string::npos);
    EXPECT_NE(first.err.find("again to complete it"), std::string::npos) << first.err;
    json j = apply_json(d, path);
    EXPECT_GT(j["created"].get<int>(), 0);
    EXPECT_EQ(j["unchanged"].get<int>() > 0, true);
    EXPECT_EQ(kelfctl(d, {"check", path}).status, 0);
    EXPECT_EQ(apply_json(d, path)["requests"], 0);
}

}  // namespace
