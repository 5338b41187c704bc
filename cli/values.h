// values.h - the value syntax of kelfctl: numbers, port lists, MAC and IP
// addresses, protocols and EtherTypes as people write them, and the same
// forms printed back, so that what kelfctl prints it also reads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelfctl {

// A value that does not parse. The message names the argument and what it
// expects, in one line.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decimal, or hexadecimal with 0x. what names the argument in the error.
std::int64_t parse_int(std::string_view s, std::string_view what, std::int64_t lo, std::int64_t hi);
std::uint64_t parse_u64(std::string_view s, std::string_view what);

// "1-4,7": in the order written, duplicates kept (a load-balancing group
// gives a port listed twice a double share). "none" is the empty list and,
// when all_hi > 0, "all" is lo..all_hi.
std::vector<int> parse_port_list(std::string_view s, std::string_view what, int lo, int hi,
                                 int all_hi = 0);
// "1-4,7" from a list: sorted runs joined with commas, "none" when empty.
std::string format_port_list(std::vector<int> ports, bool sort = true);

using Mac = std::array<std::uint8_t, 6>;
Mac parse_mac(std::string_view s, std::string_view what);
std::string format_mac(const Mac &m);

// An IPv4 or IPv6 address with a prefix length or a mask: "10.0.0.0/8",
// "10.1.2.3/255.255.0.0", "2001:db8::/32". No suffix means the full mask.
struct IpPrefix {
    bool v6 = false;
    std::uint32_t v4 = 0;  // 10.0.0.1 is 0x0A000001
    std::uint32_t v4mask = 0;
    std::array<std::uint8_t, 16> addr{};  // network order, first byte first
    std::array<std::uint8_t, 16> mask{};
    bool operator==(const IpPrefix &) const = default;
};
IpPrefix parse_ip_prefix(std::string_view s, std::string_view what);
std::string format_ip_prefix(const IpPrefix &p);
std::string format_ipv4(std::uint32_t a);

// IP protocols and EtherTypes by name or number; formatting prefers the name.
int parse_protocol(std::string_view s, std::string_view what);
std::string format_protocol(int p);
int parse_ethertype(std::string_view s, std::string_view what);
std::string format_ethertype(int t);
std::optional<std::string> ethertype_name(int t);

bool parse_on_off(std::string_view s, std::string_view what);

// Bytes as hex, with or without separators: "01:02:ff", "0102ff", "01 02".
std::vector<std::uint8_t> parse_bytes(std::string_view s, std::string_view what);
std::string format_bytes(const std::uint8_t *p, std::size_t n);  // "0102ff"

std::string hex(std::uint64_t v, int digits = 0);  // "0x1f", zero-padded to digits

}  // namespace kelfctl
