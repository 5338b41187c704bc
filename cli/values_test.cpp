// The value syntax: what people write, what it means, what it prints as.
#include "values.h"

#include <gtest/gtest.h>

namespace kelfctl {
namespace {

TEST(Values, NumbersAreDecimalOrHexAndRangeChecked) {
    EXPECT_EQ(parse_int("42", "n", 0, 100), 42);
    EXPECT_EQ(parse_int("0x2A", "n", 0, 100), 42);
    EXPECT_EQ(parse_int("-5", "n", -10, 10), -5);
    EXPECT_EQ(parse_int("0xffffffff", "n", 0, UINT32_MAX), 0xffffffffLL);
    for (const char *bad : {"", "x", "4 2", "0x", "12a", "101", "-1", "99999999999999999999999"})
        EXPECT_THROW(parse_int(bad, "n", 0, 100), ValueError) << bad;
    try {
        parse_int("7", "group", 0, 3);
        FAIL();
    } catch (const ValueError &e) {
        EXPECT_STREQ(e.what(), "group: '7' is not a number from 0 to 3");
    }
    EXPECT_EQ(parse_u64("0xffffffffffffffff", "v"), ~std::uint64_t{0});
    EXPECT_THROW(parse_u64("0x10000000000000000", "v"), ValueError);
}

TEST(Values, PortListsKeepOrderAndRepeatsAndPrintAsRanges) {
    EXPECT_EQ(parse_port_list("1-4,7", "p", 0, 48), (std::vector<int>{1, 2, 3, 4, 7}));
    EXPECT_EQ(parse_port_list("3,1,3", "p", 0, 48), (std::vector<int>{3, 1, 3}));
    EXPECT_EQ(parse_port_list("none", "p", 1, 47), std::vector<int>{});
    EXPECT_EQ(parse_port_list("all", "p", 1, 47, 47).size(), 47u);
    EXPECT_EQ(parse_port_list("5-5", "p", 0, 48), std::vector<int>{5});
    for (const char *bad : {"", ",", "1,", "4-1", "1-", "-3", "0", "48", "1-48", "a", "all"})
        EXPECT_THROW(parse_port_list(bad, "p", 1, 47), ValueError) << bad;
    EXPECT_EQ(format_port_list({7, 1, 2, 3, 4, 9, 10}), "1-4,7,9-10");
    EXPECT_EQ(format_port_list({}), "none");
    EXPECT_EQ(format_port_list({3, 1, 3}, false), "3,1,3");
    // What is printed reads back.
    std::vector<int> ports{1, 2, 3, 5, 8, 9, 47};
    EXPECT_EQ(parse_port_list(format_port_list(ports), "p", 1, 47), ports);
}

// A short text must not expand into millions of numbers: the raw list field
// takes numbers up to 2^31 - 1, and a typo there used to allocate gigabytes.
TEST(Values, PortListsStopAtTheirLengthNotAtTheMemory) {
    EXPECT_EQ(parse_port_list("0-65535", "p", 0, 65535).size(), 65536u);
    EXPECT_THROW(parse_port_list("0-9999999", "p", 0, INT32_MAX), ValueError);
    EXPECT_THROW(parse_port_list("0-65535,0", "p", 0, 65535), ValueError);
}

TEST(Values, MacAddressesInTransmissionOrder) {
    Mac m = parse_mac("00:11:22:aa:BB:ff", "mac");
    EXPECT_EQ(m, (Mac{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xff}));
    EXPECT_EQ(parse_mac("00-11-22-aa-bb-ff", "mac"), m);
    EXPECT_EQ(format_mac(m), "00:11:22:aa:bb:ff");
    for (const char *bad : {"00:11:22:33:44", "00:11:22:33:44:55:66", "0:11:22:33:44:55",
                            "00:11:22:33:44:gg", "001122334455", "00:11:22:33:44:5"})
        EXPECT_THROW(parse_mac(bad, "mac"), ValueError) << bad;
}

TEST(Values, IpAddressesWithPrefixesOrMasks) {
    IpPrefix a = parse_ip_prefix("10.1.2.3", "ip");
    EXPECT_FALSE(a.v6);
    EXPECT_EQ(a.v4, 0x0A010203u);
    EXPECT_EQ(a.v4mask, 0xFFFFFFFFu);
    EXPECT_EQ(parse_ip_prefix("10.0.0.0/8", "ip").v4mask, 0xFF000000u);
    EXPECT_EQ(parse_ip_prefix("10.0.0.0/255.255.0.0", "ip").v4mask, 0xFFFF0000u);
    EXPECT_EQ(parse_ip_prefix("10.0.0.0/0", "ip").v4mask, 0u);
    IpPrefix b = parse_ip_prefix("2001:db8::1/33", "ip");
    EXPECT_TRUE(b.v6);
    EXPECT_EQ(b.addr[0], 0x20);
    EXPECT_EQ(b.addr[15], 0x01);
    EXPECT_EQ(b.mask[3], 0xFF);
    EXPECT_EQ(b.mask[4], 0x80);
    EXPECT_EQ(b.mask[5], 0x00);
    for (const char *bad : {"10.0.0", "10.0.0.0/33", "::1/129", "10.0.0.0/255.0.255.300", "::g",
                            "10.0.0.1/x", "10.0.0.0/0x8", ""})
        EXPECT_THROW(parse_ip_prefix(bad, "ip"), ValueError) << bad;
    // Printing: the shortest form that reads back the same.
    for (const char *s : {"10.1.2.3", "10.0.0.0/8", "10.0.0.0/255.0.255.0", "2001:db8::/32",
                          "fe80::1", "2001:db8::/ffff::ff"})
        EXPECT_EQ(format_ip_prefix(parse_ip_prefix(s, "ip")), s);
    EXPECT_EQ(format_ip_prefix(parse_ip_prefix("10.0.0.0/255.255.0.0", "ip")), "10.0.0.0/16");
}

TEST(Values, ProtocolsAndEtherTypesByNameOrNumber) {
    EXPECT_EQ(parse_protocol("tcp", "p"), 6);
    EXPECT_EQ(parse_protocol("UDP", "p"), 17);
    EXPECT_EQ(parse_protocol("0x2f", "p"), 47);
    EXPECT_EQ(parse_protocol("255", "p"), 255);
    EXPECT_THROW(parse_protocol("256", "p"), ValueError);
    EXPECT_THROW(parse_protocol("tcpx", "p"), ValueError);
    EXPECT_EQ(format_protocol(58), "icmpv6");
    EXPECT_EQ(format_protocol(200), "200");
    EXPECT_EQ(parse_ethertype("ipv6", "t"), 0x86dd);
    EXPECT_EQ(parse_ethertype("0x88cc", "t"), 0x88cc);
    EXPECT_EQ(parse_ethertype("2054", "t"), 0x0806);
    EXPECT_THROW(parse_ethertype("0x10000", "t"), ValueError);
    EXPECT_EQ(format_ethertype(0x0800), "ipv4");
    EXPECT_EQ(format_ethertype(0x1234), "0x1234");
    // Every printed name reads back as the same number.
    for (int t : {0x0800, 0x0806, 0x8100, 0x86dd, 0x8847, 0x8848, 0x88a8, 0x88cc, 0x8809})
        EXPECT_EQ(parse_ethertype(format_ethertype(t), "t"), t);
    for (int p = 1; p < 256; ++p) EXPECT_EQ(parse_protocol(format_protocol(p), "p"), p);
}

TEST(Values, BytesAndSwitches) {
    EXPECT_EQ(parse_bytes("01:02:ff", "d"), (std::vector<std::uint8_t>{1, 2, 0xff}));
    EXPECT_EQ(parse_bytes("0102FF", "d"), (std::vector<std::uint8_t>{1, 2, 0xff}));
    EXPECT_TRUE(parse_bytes("", "d").empty());
    EXPECT_THROW(parse_bytes("012", "d"), ValueError);
    EXPECT_THROW(parse_bytes("0x12", "d"), ValueError);
    const std::uint8_t b[] = {0, 0xab, 0x10};
    EXPECT_EQ(format_bytes(b, 3), "00ab10");
    EXPECT_TRUE(parse_on_off("on", "f"));
    EXPECT_FALSE(parse_on_off("off", "f"));
    EXPECT_THROW(parse_on_off("maybe", "f"), ValueError);
    EXPECT_EQ(hex(0x1f, 4), "0x001f");
}

}  // namespace
}  // namespace kelfctl
