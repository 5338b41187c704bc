// The configuration file's grammar: what a line means, and every error of
// a file found at once. Nothing is sent while a file is read.
#include "config.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

ConfigFile parse(FakeDaemon &d, const std::string &text, int unit = 0) {
    std::ostringstream out, err;
    Session s(d, out, err);
    std::istringstream in(text);
    return parse_config(s, in, "f.conf", unit);
}

TEST(ConfigGrammar, LinesBuildTheUnitsState) {
    FakeDaemon d;
    ConfigFile f = parse(d,
                         "mask set 1,2 to 5,4   # a comment\n"
                         "unit 2\n"
                         "config set mesh\n"
                         "lbg add web 3,1,3\n"
                         "mirror add 10 ports 2,1\n"
                         "mirror vlan 10 7\n"
                         "mcast create video\n"
                         "mcast add-listener video vlan 5 port 4\n"
                         "hash set l2 dst-mac ff:ff:ff:00:00:00 symmetric-mac on\n"
                         "port set 1-2 parser 3 ttl-update off\n"
                         "rule add group 1 id 7 lbg web sport 1000-1003 vlan-tag tagged\n",
                         1);
    ASSERT_TRUE(f.errors.empty()) << f.errors[0];
    EXPECT_TRUE(d.requests.empty());
    ASSERT_EQ(f.units.size(), 2u);
    EXPECT_EQ(f.units[1].cfg, 5) << "the start-up configuration when none is set";
    EXPECT_EQ(f.units[1].masks[2], (std::vector<int>{4, 5}));
    UnitConfig &u = f.units[2];
    EXPECT_EQ(u.cfg, 6);
    EXPECT_EQ(u.lbgs["web"].ports, (std::vector<int>{3, 1, 3})) << "order and shares kept";
    EXPECT_EQ(u.mirrors[10].ports, (std::vector<int>{1, 2}));
    EXPECT_EQ(u.mirrors[10].vlan, 7);
    EXPECT_EQ(u.mcasts["video"].listeners.count({4, 5}), 1u);
    EXPECT_EQ(u.l2["dst-mac"], 0xFFFFFF000000u);
    EXPECT_EQ(u.l2["symmetric-mac"], 1u);
    EXPECT_EQ(u.ports[2]["parser"], 3);
    EXPECT_EQ(u.ports[2]["ttl-update"], 0);
    // A range of four ports is one value/mask rule: ids 7 only.
    ASSERT_EQ(u.rules.size(), 1u);
    const FileRule &r = u.rules.begin()->second;
    EXPECT_EQ(r.lbg, "web");
    EXPECT_EQ(r.def.group, 1);
    EXPECT_EQ(r.def.id, 7);
    EXPECT_TRUE(r.def.vlan_tag.has_value());
}

TEST(ConfigGrammar, EveryErrorIsFoundWithItsLine) {
    FakeDaemon d;
    ConfigFile f = parse(d,
                         "rule add drop in-port 3\n"        // 1: no group and id
                         "rule add group 0 id 5 lbg 3\n"    // 2: lbg by number
                         "rule add group 0 id 6 lbg web\n"  // 3: not added
                         "lbg add web 1-2\n"
                         "lbg add web 3\n"                                   // 5: twice
                         "rule add group 0 id 65535 drop sport 1000-1003\n"  // 6: fine, one rule
                         "rule add group 0 id 65535 drop sport 1000-1007\n"  // 7: id taken
                         "rule add group 0 id 70000 drop\n"                  // 8: past 65535
                         "config set fan-in\n"                               // 9
                         "mirror vlan 4 5\n"                                 // 10: no such mirror
                         "mirror add 4 ports 4\n"                            // 11: its own port
                         "hash set l3 profile 2 src-ip 0xff\n"               // 12
                         "port set 1 loopback 1\n"                           // 13
                         "mask set 3 to 4\nmask set 3 to 5\n"                // 15: set twice
                         "rule flush\n"                                      // 16: not state
                         "unit 9\n");                                        // 17
    std::vector<int> lines;
    for (const auto &e : f.errors) {
        ASSERT_EQ(e.rfind("f.conf:", 0), 0u) << e;
        lines.push_back(std::stoi(e.substr(7)));
    }
    EXPECT_EQ(lines, (std::vector<int>{1, 2, 3, 5, 7, 8, 9, 10, 11, 12, 13, 15, 16, 17}));
    EXPECT_TRUE(d.requests.empty());
}

}  // namespace
}  // namespace kelfctl::test
