// tap_test.cpp - the FMSIM_TAP parser. The interfaces themselves need root
// and are exercised by the process test tests/tap_test.cpp.
#include "tap.h"

#include <gtest/gtest.h>

namespace {

using fmsim::TapPort;

// Two switches of the default layout: ports 0..48 and 50000..50003.
bool has_port(int sw, int port) {
    return sw >= 0 && sw < 2 && ((port >= 0 && port <= 48) || (port >= 50000 && port <= 50003));
}

std::vector<TapPort> parse(const char *text, int switches = 2) {
    std::vector<TapPort> out;
    std::string error;
    EXPECT_TRUE(fmsim::parse_tap_ports(text, switches, has_port, &out, &error))
        << text << ": " << error;
    return out;
}

std::string refusal(const char *text) {
    std::vector<TapPort> out{{9, 9}};
    std::string error;
    EXPECT_FALSE(fmsim::parse_tap_ports(text, 2, has_port, &out, &error)) << text;
    EXPECT_EQ(out, (std::vector<TapPort>{{9, 9}})) << "a refusal leaves the output alone";
    return error;
}

TEST(TapPorts, ListsAndRangesApplyToEverySwitchInOrderOnce) {
    EXPECT_EQ(parse("1-2"), (std::vector<TapPort>{{0, 1}, {0, 2}, {1, 1}, {1, 2}}));
    EXPECT_EQ(parse("5,1,3-4,1", 1), (std::vector<TapPort>{{0, 1}, {0, 3}, {0, 4}, {0, 5}}));
    EXPECT_EQ(parse("7-7", 1), (std::vector<TapPort>{{0, 7}}));
    EXPECT_EQ(parse("50000", 1), (std::vector<TapPort>{{0, 50000}}));
}

TEST(TapPorts, UnitPrefixLimitsAGroupToOneSwitch) {
    EXPECT_EQ(parse("1:3 0:1-2"), (std::vector<TapPort>{{0, 1}, {0, 2}, {1, 3}}));
    EXPECT_EQ(parse("  0:4\t5 "), (std::vector<TapPort>{{0, 4}, {0, 5}, {1, 5}}));
}

TEST(TapPorts, MalformedValuesNameTheWrongWord) {
    EXPECT_NE(refusal("1-x").find("'1-x' is not a port"), std::string::npos);
    EXPECT_NE(refusal("1,,2").find("'' is not a port"), std::string::npos);
    EXPECT_NE(refusal("1,").find("'' is not a port"), std::string::npos);
    EXPECT_NE(refusal("-3").find("'-3'"), std::string::npos);
    EXPECT_NE(refusal("1-2-3").find("'1-2-3'"), std::string::npos);
    EXPECT_NE(refusal("9999999999").find("'9999999999'"), std::string::npos);
    EXPECT_NE(refusal("4-2").find("runs backwards"), std::string::npos);
    EXPECT_NE(refusal("a:1").find("'a' is not a unit"), std::string::npos);
    EXPECT_NE(refusal("0:").find("names no port"), std::string::npos);
    EXPECT_NE(refusal("   ").find("names no port"), std::string::npos);
}

TEST(TapPorts, PortsAndUnitsThePlatformLacksAreRefused) {
    EXPECT_EQ(refusal("1-49"), "switch 0 has no port 49");
    EXPECT_EQ(refusal("1:60"), "switch 1 has no port 60");
    EXPECT_EQ(refusal("2:1"), "unit 2: the platform has switches 0 to 1");
    // A huge range stops at the first missing port rather than walking it.
    EXPECT_EQ(refusal("48-999999999"), "switch 0 has no port 49");
}

TEST(TapPorts, InterfaceNamesCarryUnitAndPort) {
    EXPECT_EQ(fmsim::tap_name({0, 1}), "fms0p1");
    EXPECT_EQ(fmsim::tap_name({7, 50003}), "fms7p50003");
}

}  // namespace
