// The batch runner, JSON read back by a parser, and a rule set exported
// with `rule list -d` and imported with -b.
#include "cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "batch.h"
#include "rule.h"
#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

TEST(Batch, LinesSplitIntoWordsWithQuotesAndComments) {
    EXPECT_EQ(split_line("  rule add   drop # a comment"),
              (std::vector<std::string>{"rule", "add", "drop"}));
    EXPECT_EQ(split_line("a 'b c' \"d#e\" f#g"),
              (std::vector<std::string>{"a", "b c", "d#e", "f#g"}));
    EXPECT_EQ(split_line("x ''"), (std::vector<std::string>{"x", ""}));
    EXPECT_TRUE(split_line("# only a comment").empty());
    EXPECT_TRUE(split_line("\t \r").empty());
    EXPECT_THROW(split_line("a 'b"), Failure);
}

class TempFile {
public:
    explicit TempFile(const std::string &text) {
        char tmpl[] = "/tmp/kelfctl-batch-XXXXXX";
        int fd = ::mkstemp(tmpl);
        path_ = tmpl;
        ::close(fd);
        std::ofstream(path_) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

const char kBatch[] = R"(# set up unit 0 and 1
config set mesh

kelfctl mask set 1,2 to 4      # as typed on a command line
-u 1 config set isolated
rule add drop
config set pairs
)";

TEST(Batch, StopsAtTheFirstFailureAndNamesItsLine) {
    TempFile f(kBatch);
    FakeDaemon d;
    d.status[KEL_SET_DROP] = -1;
    Outcome r = run(d, {"-b", f.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kelfd refused the rule"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Command failed " + f.path() + ":6\n"), std::string::npos) << r.err;
    // Lines 2, 4, 5 and 6 sent; line 7 never.
    auto sent = d.sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0][0], KEL_SET_CFG);
    EXPECT_EQ(sent[1][0], KEL_SET_PORT_MASK);
    EXPECT_EQ(sent[2][4], 1) << "-u on a line sets that line's unit";
    EXPECT_EQ(sent[3][0], KEL_SET_DROP);
    EXPECT_EQ(sent[3][4], 0) << "and only that line's";
}

// A batch reads kelfd's state once and keeps it up to date itself: rule
// adds cost one request each, whatever their checks, plus a constant.
TEST(Batch, RuleAddsCostOneRequestEachPlusAConstant) {
    FakeDaemon d;
    std::string batch;
    for (int i = 1; i <= 300; ++i)
        batch += "rule add group " + std::to_string(i % 2) + (i % 3 == 0 ? " lbg 2" : " drop") +
                 " in-port " + std::to_string(1 + i % 48) + " dport " + std::to_string(i) + "\n";
    batch += "rule delete id 7\nrule add mirror 10 protocol udp\n";
    Outcome r = run(d, {"-b", "-"}, batch);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(d.sent().size(), 302u) << "300 adds, a delete and an add";
    // The switch count, the two groups' lists, the lbg and mirror lists,
    // and the delete's search of the other 30 groups' lists.
    EXPECT_LE(d.requests.size() - d.sent().size(), 40u);
}

TEST(Batch, ForceGoesOnAndKeepsTheFirstFailure) {
    FakeDaemon d;
    d.status[KEL_SET_DROP] = -1;
    Outcome r = run(d, {"--force", "-b", "-"},
                    "rule add drop\nrule add frob\nconfig set mesh\nrule add drop\n");
    EXPECT_EQ(r.status, 1) << "the first failure's status, not the usage error's";
    EXPECT_NE(r.err.find("Command failed -:1\n"), std::string::npos);
    EXPECT_NE(r.err.find("Command failed -:2\n"), std::string::npos);
    EXPECT_EQ(r.err.find("Command failed -:3"), std::string::npos);
    EXPECT_NE(r.err.find("Command failed -:4\n"), std::string::npos);
    EXPECT_EQ(d.sent().size(), 3u);
}

TEST(Batch, ExitStatusOfEachKindOfFailure) {
    FakeDaemon d;
    EXPECT_EQ(run(d, {"-b", "-"}, "config set mesh\n# nothing else\n\n").status, 0);
    EXPECT_EQ(run(d, {"-b", "-"}, "rule add drop vlan 0\n").status, 2);
    EXPECT_EQ(run(d, {"-b", "-"}, "rule add 'drop\n").status, 2);
    EXPECT_EQ(run(d, {"-b", "-"}, "-u 9 config\n").status, 2);
    EXPECT_EQ(run(d, {"-b", "/nonexistent/batch"}).status, 2);
    d.unreachable = true;
    d.requests.clear();
    Outcome r = run(d, {"-b", "-"}, "config\nconfig\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(d.requests.size(), 1u) << "an unreachable daemon stops the batch";
}

TEST(Json, EveryDocumentReadsBackAsOneObjectALine) {
    FakeDaemon d;
    d.status[KEL_GET_CFG] = 6;
    d.status[KEL_LBG_ADD] = 7;
    d.status[KEL_SET_PERMIT] = -1;
    d.status[KEL_GET_POWER] = -1;
    std::string batch =
        "rule add redirect 7 in-port 3 src-ip 10.1.0.0/16 dst-mac 00:11:22:33:44:55 protocol udp\n"
        "rule add group 2 id 70 drop vlan 12 src-ip 2001:db8::/48\n"
        "rule list\nrule stats\nconfig\nlbg add 3,3,4\nlbg list\nmask show 1\n"
        "hash show\nport show 1\nstats show 1 -d\ndaemon\nraw 63 port=1\nrule help\n"
        "rule add permit\nrule add frob\nraw 204\n";
    Outcome r = run(d, {"-j", "--force", "-b", "-"}, batch);
    EXPECT_EQ(r.status, 1);
    std::vector<Json> docs;
    std::size_t pos = 0;
    while (pos < r.out.size()) {
        std::size_t nl = r.out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        docs.push_back(Json::parse(r.out.substr(pos, nl - pos)));
        EXPECT_TRUE(docs.back().is_object());
        pos = nl + 1;
    }
    ASSERT_EQ(docs.size(), 17u) << r.out;
    EXPECT_EQ(docs[0]["id"], 1);
    const Json &rules = docs[2]["rules"];
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0]["action"], "redirect");
    EXPECT_EQ(rules[0]["port"], 7);
    EXPECT_EQ(rules[0]["match"]["in_port"], 3);
    EXPECT_EQ(rules[0]["match"]["src_ip"], "10.1.0.0/16");
    EXPECT_EQ(rules[0]["match"]["dst_mac"], "00:11:22:33:44:55");
    EXPECT_EQ(rules[0]["match"]["protocol"], 17);
    EXPECT_EQ(rules[1]["group"], 2);
    EXPECT_EQ(rules[1]["match"]["src_ip"], "2001:db8::/48");
    EXPECT_EQ(docs[3]["counters"][1]["frames"], 700);
    EXPECT_EQ(docs[4]["config"], 6);
    EXPECT_EQ(docs[5]["lbg"], 7);
    EXPECT_TRUE(docs[7]["masks"][0]["egress"].is_array());
    EXPECT_TRUE(docs[8].contains("l2") && docs[8].contains("l3"));
    EXPECT_EQ(docs[10]["cntRxUcstPkts"], 0);
    EXPECT_EQ(docs[11]["stay_up"], false);
    EXPECT_EQ(docs[12]["status"], 0);
    EXPECT_TRUE(docs[13]["help"].get<std::string>().starts_with("Usage: kelfctl rule"));
    EXPECT_EQ(docs[14]["exit"], 1);
    EXPECT_EQ(docs[15]["exit"], 2);
    EXPECT_EQ(docs[16]["status"], -1) << "a refused raw request prints its reply alone";
}

// The text and the JSON of a listing come from the same rows.
TEST(Json, TextAndJsonListTheSameRules) {
    FakeDaemon d;
    for (const char *add :
         {"rule add drop in-port 1", "rule add group 3 permit vlan 5", "rule add lbg 2"})
        ASSERT_EQ(run(d, split_line(add)).status, 0);
    Outcome text = run(d, {"rule", "list", "-d"});
    Json j = Json::parse(run(d, {"-j", "rule", "list"}).out);
    std::string from_json;
    for (const auto &r : j["rules"]) from_json += r["command"].get<std::string>() + "\n";
    EXPECT_EQ(text.out, from_json);
}

// Export with `rule list -d`, import into an empty daemon with -b: the same
// rules, field for field, in every group.
TEST(ExportImport, ARuleSetRoundTrips) {
    const char *rules[] = {
        "rule add redirect 7 in-port 3",
        "rule add group 1 id 100 drop src-ip 10.0.0.0/8 dst-ip 2001:db8::/32 protocol tcp dport "
        "443",
        "rule add lbg 2 dst-mac 00:11:22:33:44:55 src-mac 02:00:00:00:00:01 vlan 100 ethertype "
        "ipv4",
        "rule add permit set-switch-priority 3 in-port 5 sport 1024/0xfc00 dst-ip "
        "192.168.0.0/255.255.0.255",
        "rule add rewrite set-switch-priority 6 mpls unicast mpls-header 0x8140/0xfff0",
        "rule add group 31 id 16777215 drop mpls multicast src-ip fe80::1/ffff::ffff",
        "rule add group 31 drop dport 53 sport 53 protocol udp",
        // Listed alike (the list carries 16 bits of an id), read apart.
        "rule add group 2 id 65541 permit",
        "rule add group 2 id 5 drop",
    };
    FakeDaemon a;
    for (const char *r : rules) ASSERT_EQ(run(a, split_line(r)).status, 0) << r;
    Outcome exported = run(a, {"rule", "list", "-d"});
    ASSERT_EQ(exported.status, 0);

    FakeDaemon b;
    b.next_id = 500;  // the importing daemon would choose other ids
    Outcome imported = run(b, {"-b", "-"}, exported.out);
    ASSERT_EQ(imported.status, 0) << imported.err;
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        // Slot order may differ where ids share their low 16 bits; the
        // rules are the same.
        auto by_id = [](std::vector<FakeDaemon::Rule> v) {
            std::sort(v.begin(), v.end(), [](const auto &x, const auto &y) {
                return int{x.mem.rule_id} < int{y.mem.rule_id};
            });
            return v;
        };
        auto list = by_id(a.rules[group]);
        auto other = by_id(b.rules[group]);
        ASSERT_EQ(list.size(), other.size()) << "group " << group;
        for (std::size_t i = 0; i < list.size(); ++i) {
            kel_mem_t x = list[i].mem, y = other[i].mem;
            EXPECT_EQ(list[i].action, other[i].action);
            EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0)
                << "group " << group << " rule " << x.rule_id;
        }
    }
    EXPECT_EQ(run(b, {"rule", "list", "-d"}).out, exported.out);
}

// Every rule that can be written reads back from its printed form.
TEST(ExportImport, PrintedRulesParseToTheSameRule) {
    const char *rules[] = {
        "group 4 id 9 drop vlan-tag only-vlan2 vlan 4095",
        "id 1 redirect 0 set-vlan 4095 set-vlan-priority 15 set-switch-priority 0",
        "id 2 mirror 255 in-port 65535 src-mac ff:ff:ff:ff:ff:ff",
        "id 3 rewrite set-user-bits 15 ethertype 0x9000",
        "id 4 lbg 2147483647 dst-ip 1.2.3.4/1 src-ip 128.0.0.0/255.255.255.254",
        "id 5 permit protocol 200 dport 65535/0x1 mpls multicast mpls-header 0xffffffffffffffff",
    };
    for (const char *text : rules) {
        SCOPED_TRACE(text);
        Args a(split_line(text));
        RuleDef r = parse_rule(a);
        std::string printed = rule_command(r);
        ASSERT_EQ(printed.rfind("rule add ", 0), 0u) << printed;
        Args again(split_line(printed.substr(9)));
        EXPECT_EQ(parse_rule(again), r) << printed;
    }
}

// The service's socket is a link in /run to /run/kelfd: the pid file and the
// record are read and written where the socket really is, the same files
// for kelfctl in the service and for an administrator's kelfctl.
TEST(RunDir, FollowsALinkedSocketToItsDirectory) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/kelfctl-rundir-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path top = fs::canonical(tmpl);
    struct Cleanup {
        fs::path p;
        ~Cleanup() { fs::remove_all(p); }
    } cleanup{top};
    fs::create_directory(top / "kelfd");
    std::ofstream(top / "kelfd" / "kelfctl.sock").put('x');
    fs::create_symlink("kelfd/kelfctl.sock", top / "kelfctl.sock");

    EXPECT_EQ(run_dir_of_socket((top / "kelfctl.sock").string()), (top / "kelfd").string());
    EXPECT_EQ(run_dir_of_socket((top / "kelfd" / "kelfctl.sock").string()),
              (top / "kelfd").string());
    // No socket yet: the directory as named.
    EXPECT_EQ(run_dir_of_socket((top / "none" / "kelfctl.sock").string()), (top / "none").string());
    EXPECT_EQ(run_dir_of_socket("/kelfctl.sock"), "/");
}

}  // namespace
}  // namespace kelfctl::test
