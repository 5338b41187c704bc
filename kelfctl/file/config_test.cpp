// The configuration file's grammar: what a line means, and every error of
// a file found at once. Nothing is sent while a file is read.
#include "config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "objects.h"
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

TEST(ConfigGrammar, AFileAUnitCannotHoldIsAnError) {
    FakeDaemon d;
    // 4093 rules and a range of four: the 4097th rule of group 1 is on line 4094.
    std::string text;
    for (int id = 1; id <= 4093; ++id)
        text += "rule add group 1 id " + std::to_string(id) + " drop dst-ip 10.0.0.1\n";
    text += "rule add group 1 id 5000 drop sport 1001-1008 dst-ip 10.0.0.2\n";
    for (int p = 41; p <= 45; ++p)
        text += "rule add group 2 id " + std::to_string(p) + " drop in-port " + std::to_string(p) +
                "\n";
    ConfigFile f = parse(d, text);
    ASSERT_EQ(f.errors.size(), 2u) << f.errors.front();
    EXPECT_EQ(f.errors[0].rfind("f.conf:4094: unit 0 group 1 would hold 4097 rules", 0), 0u)
        << f.errors[0];
    EXPECT_EQ(f.errors[1].rfind("f.conf:4099: unit 0 rules match on 5 PCI Express in-ports", 0), 0u)
        << f.errors[1];
}

TEST(ConfigApply, AgainstAKelfdWithoutTransactionsTheApplySaysItIsNotAtomic) {
    FakeDaemon d;  // it refuses the hello, as a kelfd without extensions does
    std::ostringstream out, err;
    Session s(d, out, err);
    std::string path = testing::TempDir() + "/plain.conf";
    std::ofstream(path) << "rule add group 0 id 1 drop dst-ip 10.0.0.1\n";
    EXPECT_EQ(run_words(s, {"apply", path}), 0) << err.str();
    EXPECT_NE(err.str().find("kelfd has no transactions: the apply of " + path + " is not atomic"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(d.hellos, 1);
    ASSERT_EQ(d.rules[0].size(), 1u);
}

}  // namespace
}  // namespace kelfctl::test
