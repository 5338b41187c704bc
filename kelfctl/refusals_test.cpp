// What kelfctl refuses before anything is sent, on its command line and in
// a configuration file alike, and what an export says of a rule it missed.
#include <gtest/gtest.h>

#include <sstream>

#include "batch.h"
#include "config.h"
#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

ConfigFile parse(FakeDaemon &d, const std::string &text) {
    std::ostringstream out, err;
    Session s(d, out, err);
    std::istringstream in(text);
    return parse_config(s, in, "f.conf", 0);
}

TEST(Refusals, ValuesPastTheirFieldNameTheRangeAndSendNothing) {
    struct {
        const char *cmd, *range;
    } cases[] = {
        {"port set 40 parser 99", "from 2 to 4"},
        {"port set 40 parser 1", "from 2 to 4"},
        {"port set 40 frame-update 0xffffffff", "from 0 to 0xffff"},
        {"port set 40 frame-update 0x10000", "from 0 to 0xffff"},
        {"rule add permit set-vlan-priority 9", "from 0 to 7"},
    };
    for (const auto &c : cases) {
        FakeDaemon d;
        Outcome r = run(d, split_line(c.cmd));
        EXPECT_EQ(r.status, 2) << c.cmd;
        EXPECT_NE(r.err.find(c.range), std::string::npos) << r.err;
        EXPECT_TRUE(d.requests.empty()) << c.cmd;
    }
    // The widest values the switch holds go through.
    FakeDaemon d;
    EXPECT_EQ(run(d, split_line("port set 40 parser 4 frame-update 0xffff")).status, 0);
    EXPECT_EQ(run(d, split_line("rule add permit set-vlan-priority 7")).status, 0);

    ConfigFile f = parse(d,
                         "port set 1 parser 5\n"
                         "port set 2 frame-update 0x1ffff\n"
                         "rule add group 0 id 1 permit set-vlan-priority 8\n");
    ASSERT_EQ(f.errors.size(), 3u);
    EXPECT_NE(f.errors[0].find("f.conf:1: parser N: '5' is not a number from 2 to 4"),
              std::string::npos)
        << f.errors[0];
    EXPECT_NE(f.errors[1].find("f.conf:2: frame-update MASK"), std::string::npos) << f.errors[1];
    EXPECT_NE(f.errors[2].find("f.conf:3: set-vlan-priority: '8' is not a number from 0 to 7"),
              std::string::npos)
        << f.errors[2];
}

TEST(Refusals, AMirrorRuleTakesNoInPortOnTheLineOrInAFile) {
    FakeDaemon d;
    for (const char *cmd :
         {"rule add mirror 10 in-port 4", "--force rule add mirror 10 protocol tcp in-port 4"}) {
        Outcome r = run(d, split_line(cmd));
        EXPECT_EQ(r.status, 2) << cmd;
        EXPECT_NE(r.err.find("a mirror rule matches frames of every port"), std::string::npos)
            << r.err;
        EXPECT_NE(
            r.err.find("`mirror add MIRROR ports PORTS` chooses the ports a mirror copies from"),
            std::string::npos)
            << r.err;
    }
    EXPECT_TRUE(d.requests.empty());

    ConfigFile f = parse(d,
                         "mirror add 10 ports 1\n"
                         "rule add group 0 id 1 mirror 10 in-port 4\n"
                         "rule add group 0 id 2 mirror 10 protocol udp\n");
    ASSERT_EQ(f.errors.size(), 1u);
    EXPECT_EQ(f.errors[0].rfind("f.conf:2: in-port: a mirror rule matches frames of every port", 0),
              0u)
        << f.errors[0];

    // A mirror rule an older kelfctl added with an in-port lists with a
    // warning and exports as the switch matches it, on every port.
    kel_mem_t m{};
    m.rule_id = 5;
    m.port = 4;
    m.mirror_port = 10;
    d.rules[0].push_back({m, KEL_ACT_MIRROR});
    Outcome listed = run(d, split_line("rule list"));
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.err.find("rule 5 of group 0 holds in-port 4, which the switch does not match"),
              std::string::npos)
        << listed.err;
    Outcome exported = run(d, split_line("rule list -d"));
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "rule add group 0 id 5 mirror 10\n");
}

// The listed id comes back from no query: the rule is missing from what
// the export wrote, and it says so.
TEST(Export, AListedRuleThatCannotBeReadIsNamedAndExitsOne) {
    FakeDaemon d;
    d.status[KEL_GET_DEV_NUM] = 1;
    d.status[KEL_GET_CFG] = 5;
    d.mirrors.clear();
    d.lbgs.clear();
    kel_mem_t m{};
    m.group = 2;
    m.rule_id = 7;
    d.rules[2].push_back({m, KEL_ACT_DROP});
    m.rule_id = 65535;
    d.rules[2].push_back({m, KEL_ACT_DROP});
    d.answer[KEL_ENTRY_QUERY] = [](const Bytes &req) {
        if_kel_t k;
        std::memcpy(&k, req.data(), sizeof k);
        kel_query_rule_t q{};
        q.kel_mem = k.kel_mem;  // the port stays absent unless a rule is found
        if (k.kel_mem.group == 2 && k.kel_mem.rule_id == 7)
            q.kel_mem.port = 0, q.kel_mem.rule_act = KEL_ACT_DROP;
        Bytes b(sizeof q);
        std::memcpy(b.data(), &q, sizeof q);
        return b;
    };
    const std::string named = "rule 65535 of group 2 is listed but cannot be read";

    Outcome e = run(d, split_line("rule list -d"));
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.out, "rule add group 2 id 7 drop\n");
    EXPECT_NE(e.err.find("kelfctl: not exported: " + named), std::string::npos) << e.err;

    Outcome saved = run(d, split_line("save"));
    EXPECT_EQ(saved.status, 1);
    EXPECT_NE(saved.err.find("kelfctl: cannot describe unit 0: " + named), std::string::npos)
        << saved.err;

    d.rules[2].pop_back();
    EXPECT_EQ(run(d, split_line("rule list -d")).status, 0);
}

}  // namespace
}  // namespace kelfctl::test
