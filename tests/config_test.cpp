// A switch configuration kept in a file: kelfctl check, apply and save
// against the real kelfd, and what kelfd reads back of it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
    EXPECT_NE(mirrors.find("10      -     1-2              5"), std::string::npos) << mirrors;
    EXPECT_EQ(kelfctl(d, {"lbg"}).out, "LBG  NAME  PORTS\n0    db    5,5,6\n1    web   1,2,3,4\n");
    EXPECT_NE(kelfctl(d, {"mcast", "show", "video"}).out.find("port 3 vlan 100"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(d.run_dir() + "/kelfctl.applied"));

    // kelfd reads every rule back whole: `rule list -d` writes them so.
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
    // Without kelfd: unreachable, unless the file alone is asked for.
    auto alone = kelfctl(d, {"check", good});
    EXPECT_EQ(alone.status, 3) << alone.err;
    EXPECT_EQ(kelfctl(d, {"check", "--offline", good}).status, 0);
    EXPECT_EQ(kelfctl(d, {"check", "--offline", write(d, "bad.conf", "config set nine\n")}).status,
              2);
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

// What was made by hand, not by apply, is saved whole, and the file gives
// a fresh kelfd the same state; the save keeps the file's link, mode and
// owner.
TEST(ConfigFile, SaveDescribesWhatWasMadeByHand) {
    DaemonProcess d;
    for (std::vector<std::string> c : {
             std::vector<std::string>{"lbg", "add", "1-2"},
             {"mirror", "add", "12", "ports", "3"},
             {"mirror", "vlan", "12", "7"},
             {"mcast", "add", "video"},
             {"mcast", "add-listener", "video", "port", "4", "vlan", "100"},
             {"rule", "add", "id", "20", "drop", "src-ip", "192.0.2.1"},
             {"rule", "add", "group", "1", "permit", "vlan", "100", "set-vlan-priority", "5",
              "comment", "voice"},
             {"rule", "add", "id", "7", "lbg", "0", "vlan-tag", "tagged", "set-vlan", "9"},
             {"rule", "add", "id", "30", "redirect", "mcast", "video", "dst-ip", "239.1.1.1"},
             {"rule", "add", "id", "40", "drop", "dport", "1000-1999"},
             {"rule", "add", "group", "2", "mirror", "12"},
             {"hash", "set", "l3", "dscp", "0x3f"},
             {"port", "set", "5", "parser", "2"},
         })
        ASSERT_EQ(kelfctl(d, c).status, 0) << c[0] << " " << c[1];
    // The order that decides: id 7 before id 20 though added after it.
    std::string listing = kelfctl(d, {"rule", "list"}).out;
    EXPECT_LT(listing.find("0      7 "), listing.find("0      20 ")) << listing;
    EXPECT_NE(listing.find("permit set-vlan-priority 5"), std::string::npos) << listing;
    EXPECT_NE(listing.find("voice"), std::string::npos) << listing;

    const std::string real = d.run_dir() + "/real.conf", link = d.run_dir() + "/link.conf";
    std::ofstream(real) << "# old\n";
    ::chmod(real.c_str(), 0640);
    const bool root = ::geteuid() == 0;
    if (root) ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
    std::filesystem::create_symlink(real, link);
    auto r = kelfctl(d, {"save", link});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) EXPECT_EQ(st.st_uid, 65534u);
    const std::string text = kelftest::read_file(real);
    for (const char *want :
         {"hash set l3 dscp 0x3f\n", "port set 5 parser 2\n", "lbg add lbg0 ports 1,2\n",
          "mirror vlan 12 7\n", "mcast add-listener video port 4 vlan 100\n",
          "rule add group 0 id 7 lbg lbg0 set-vlan 9 vlan-tag tagged\n",
          "rule add group 0 id 30 redirect mcast video dst-ip 239.1.1.1\n",
          "rule add group 0 id 40 drop dport 1000-1999\n",
          "rule add group 1 id 1 permit set-vlan-priority 5 vlan 100 comment \"voice\"\n"})
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    EXPECT_EQ(text.find("hash set l2"), std::string::npos) << "only what differs from the start";
    EXPECT_EQ(kelfctl(d, {"check", link}).status, 0);

    DaemonProcess fresh;
    apply_json(fresh, real);
    for (std::vector<std::string> c : {std::vector<std::string>{"rule", "list", "-d"},
                                       {"lbg", "list"},
                                       {"mirror", "list"},
                                       {"mcast", "list"}})
        EXPECT_EQ(kelfctl(fresh, c).out, kelfctl(d, c).out) << c[0];
    // Frames meet the same rules on both.
    for (std::vector<std::string> f : {
             std::vector<std::string>{"in-port", "1", "src-ip", "192.0.2.1", "dst-ip", "192.0.2.9"},
             {"in-port", "2", "src-ip", "192.0.2.2", "dst-ip", "239.1.1.1"},
             {"in-port", "3", "src-ip", "192.0.2.3", "dst-ip", "192.0.2.9", "dport", "1500"},
             {"in-port", "6", "src-ip", "192.0.2.4", "dst-ip", "192.0.2.9", "vlan", "100"},
         }) {
        f.insert(f.begin(), "trace");
        auto was = d.run(FMSIMCTL_BINARY, f), now = fresh.run(FMSIMCTL_BINARY, f);
        EXPECT_EQ(was.status, 0) << was.err;
        EXPECT_EQ(now.out, was.out) << f[2];
    }
    // Drift, and a unit the file names that is not up.
    ASSERT_EQ(kelfctl(fresh, {"rule", "delete", "id", "20"}).status, 0);
    EXPECT_EQ(kelfctl(fresh, {"check", real}).status, 1);
    EXPECT_EQ(
        kelfctl(fresh, {"check", write(fresh, "u5.conf", "unit 5\nconfig set mesh\n")}).status, 4);
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

    // The same run directory, a new process: it holds nothing of the old one.
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

// A user the socket does not let in is told whose socket it is and what to
// do, and check says kelfd cannot be reached, not that all is well.
TEST(ConfigFile, CheckAsAUserTheSocketRefuses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run kelfctl as another user";
    DaemonProcess d;
    char path[] = "/tmp/kelfctl-check-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    struct Gone {
        const char *p;
        ~Gone() { ::unlink(p); }
    } gone{path};
    const std::string text = "config set isolated\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::fchmod(fd, 0644);
    ::close(fd);
    auto r = d.run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        KELFCTL_BINARY, "check", path});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("refuses this user"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run kelfctl as root"), std::string::npos) << r.err;
    EXPECT_EQ(d.run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         KELFCTL_BINARY, "check", "--offline", path})
                  .status,
              0);
}

}  // namespace
