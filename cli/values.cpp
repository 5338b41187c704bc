#include "values.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace kelfctl {
namespace {

[[noreturn]] void bad(std::string_view what, std::string_view s, std::string_view expected) {
    throw ValueError(std::string(what) + ": '" + std::string(s) + "' is not " +
                     std::string(expected));
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char &c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// Strict unsigned parse of the whole text; nullopt on any stray character.
std::optional<std::uint64_t> to_u64(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return std::nullopt;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return v;
}

struct Named {
    const char *name;
    int value;
};

// The names people use; the first name of a value is the one printed.
constexpr Named kProtocols[] = {
    {"icmp", 1},   {"igmp", 2},    {"ipip", 4},       {"tcp", 6},       {"egp", 8},
    {"udp", 17},   {"ipv6", 41},   {"rsvp", 46},      {"gre", 47},      {"esp", 50},
    {"ah", 51},    {"icmpv6", 58}, {"ipv6-icmp", 58}, {"ospf", 89},     {"pim", 103},
    {"vrrp", 112}, {"l2tp", 115},  {"sctp", 132},     {"udplite", 136},
};

constexpr Named kEtherTypes[] = {
    {"ipv4", 0x0800},    {"ip", 0x0800},      {"arp", 0x0806},
    {"wol", 0x0842},     {"rarp", 0x8035},    {"vlan", 0x8100},
    {"802.1q", 0x8100},  {"ipx", 0x8137},     {"ipv6", 0x86dd},
    {"pause", 0x8808},   {"slow", 0x8809},    {"lacp", 0x8809},
    {"mpls", 0x8847},    {"mpls-mc", 0x8848}, {"pppoe-discovery", 0x8863},
    {"pppoe", 0x8864},   {"eapol", 0x888e},   {"qinq", 0x88a8},
    {"802.1ad", 0x88a8}, {"lldp", 0x88cc},    {"macsec", 0x88e5},
    {"ptp", 0x88f7},     {"fcoe", 0x8906},    {"roce", 0x8915},
};

template <std::size_t N>
std::optional<int> by_name(const Named (&t)[N], std::string_view s) {
    std::string l = lower(s);
    for (const auto &n : t)
        if (l == n.name) return n.value;
    return std::nullopt;
}

template <std::size_t N>
const char *name_of(const Named (&t)[N], int v) {
    for (const auto &n : t)
        if (n.value == v) return n.name;
    return nullptr;
}

int prefix_len(const std::uint8_t *m, std::size_t n) {
    int len = 0;
    std::size_t i = 0;
    for (; i < n && m[i] == 0xFF; ++i) len += 8;
    if (i < n) {
        std::uint8_t b = m[i];
        while (b & 0x80) {
            ++len;
            b = static_cast<std::uint8_t>(b << 1);
        }
        if (b != 0) return -1;
        for (++i; i < n; ++i)
            if (m[i] != 0) return -1;
    }
    return len;
}

void mask_of_len(std::uint8_t *m, std::size_t n, int len) {
    for (std::size_t i = 0; i < n; ++i) {
        int bits = std::clamp(len - static_cast<int>(i) * 8, 0, 8);
        m[i] = static_cast<std::uint8_t>(bits == 0 ? 0 : 0xFF << (8 - bits));
    }
}

}  // namespace

std::int64_t parse_int(std::string_view s, std::string_view what, std::int64_t lo,
                       std::int64_t hi) {
    bool neg = !s.empty() && s[0] == '-';
    auto v = to_u64(neg ? s.substr(1) : s);
    std::string range = "a number from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (!v || *v > static_cast<std::uint64_t>(INT64_MAX)) bad(what, s, range);
    std::int64_t r = neg ? -static_cast<std::int64_t>(*v) : static_cast<std::int64_t>(*v);
    if (r < lo || r > hi) bad(what, s, range);
    return r;
}

std::uint64_t parse_u64(std::string_view s, std::string_view what) {
    auto v = to_u64(s);
    if (!v) bad(what, s, "a 64-bit number (decimal, or hexadecimal with 0x)");
    return *v;
}

std::vector<int> parse_port_list(std::string_view s, std::string_view what, int lo, int hi,
                                 int all_hi) {
    constexpr std::size_t kMaxListed = 65536;
    std::string expected =
        "a port list like 1-4,7 (ports " + std::to_string(lo) + " to " + std::to_string(hi) + ")";
    std::vector<int> out;
    if (lower(s) == "none") return out;
    if (all_hi > 0 && lower(s) == "all") {
        for (int p = lo; p <= all_hi; ++p) out.push_back(p);
        return out;
    }
    if (s.empty()) bad(what, s, expected);
    std::size_t pos = 0;
    while (pos <= s.size()) {
        std::size_t comma = s.find(',', pos);
        std::string_view item =
            s.substr(pos, comma == std::string_view::npos ? s.npos : comma - pos);
        std::size_t dash = item.find('-');
        auto a = to_u64(item.substr(0, dash));
        auto b = dash == std::string_view::npos ? a : to_u64(item.substr(dash + 1));
        if (!a || !b || *a < static_cast<std::uint64_t>(lo) ||
            *b > static_cast<std::uint64_t>(hi) || *a > *b)
            bad(what, s, expected);
        // No command takes more ports than a switch has numbers for; a range
        // past that is a typo, refused before it is spelled out in memory.
        if (out.size() + (*b - *a) >= kMaxListed) bad(what, s, "a list of at most 65536 ports");
        for (std::uint64_t p = *a; p <= *b; ++p) out.push_back(static_cast<int>(p));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return out;
}

std::string format_port_list(std::vector<int> ports, bool sort) {
    if (ports.empty()) return "none";
    if (sort) std::sort(ports.begin(), ports.end());
    std::string r;
    for (std::size_t i = 0; i < ports.size();) {
        std::size_t j = i;
        if (sort)
            while (j + 1 < ports.size() && ports[j + 1] == ports[j] + 1) ++j;
        if (!r.empty()) r += ',';
        r += std::to_string(ports[i]);
        if (j > i) r += "-" + std::to_string(ports[j]);
        i = j + 1;
    }
    return r;
}

Mac parse_mac(std::string_view s, std::string_view what) {
    Mac m{};
    const char *expected = "a MAC address like 00:11:22:33:44:55";
    if (s.size() != 17) bad(what, s, expected);
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0 && s[i * 3 - 1] != ':' && s[i * 3 - 1] != '-') bad(what, s, expected);
        auto v = to_u64(std::string("0x") + std::string(s.substr(i * 3, 2)));
        if (!v) bad(what, s, expected);
        m[i] = static_cast<std::uint8_t>(*v);
    }
    return m;
}

std::string format_mac(const Mac &m) {
    char b[18];
    std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return b;
}

IpPrefix parse_ip_prefix(std::string_view s, std::string_view what) {
    const char *expected = "an IPv4 or IPv6 address, with /LENGTH or /MASK if wanted";
    std::size_t slash = s.find('/');
    std::string addr(s.substr(0, slash));
    IpPrefix p;
    if (addr.find(':') != std::string::npos) {
        p.v6 = true;
        if (::inet_pton(AF_INET6, addr.c_str(), p.addr.data()) != 1) bad(what, s, expected);
    } else {
        in_addr a{};
        if (::inet_pton(AF_INET, addr.c_str(), &a) != 1) bad(what, s, expected);
        p.v4 = ntohl(a.s_addr);
    }
    std::size_t width = p.v6 ? 16 : 4;
    if (slash == std::string_view::npos) {
        mask_of_len(p.mask.data(), width, static_cast<int>(width * 8));
    } else {
        std::string m(s.substr(slash + 1));
        if (auto len = to_u64(m); len && m.find('x') == std::string::npos) {
            if (*len > width * 8) bad(what, s, expected);
            mask_of_len(p.mask.data(), width, static_cast<int>(*len));
        } else if (p.v6 ? ::inet_pton(AF_INET6, m.c_str(), p.mask.data()) != 1
                        : ::inet_pton(AF_INET, m.c_str(), p.mask.data()) != 1) {
            bad(what, s, expected);
        }
    }
    if (!p.v6) {
        p.v4mask = (std::uint32_t{p.mask[0]} << 24) | (std::uint32_t{p.mask[1]} << 16) |
                   (std::uint32_t{p.mask[2]} << 8) | p.mask[3];
        std::uint32_t be = htonl(p.v4);
        std::memcpy(p.addr.data(), &be, 4);
    }
    return p;
}

std::string format_ipv4(std::uint32_t a) {
    char b[16];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return b;
}

std::string format_ip_prefix(const IpPrefix &p) {
    std::size_t width = p.v6 ? 16 : 4;
    std::uint8_t m[16];
    std::string addr;
    std::string mask;
    if (p.v6) {
        char b[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, p.addr.data(), b, sizeof b);
        addr = b;
        std::memcpy(m, p.mask.data(), 16);
        ::inet_ntop(AF_INET6, p.mask.data(), b, sizeof b);
        mask = b;
    } else {
        addr = format_ipv4(p.v4);
        for (int i = 0; i < 4; ++i) m[i] = static_cast<std::uint8_t>(p.v4mask >> (24 - 8 * i));
        mask = format_ipv4(p.v4mask);
    }
    int len = prefix_len(m, width);
    if (len == static_cast<int>(width * 8)) return addr;
    if (len >= 0) return addr + "/" + std::to_string(len);
    return addr + "/" + mask;
}

int parse_protocol(std::string_view s, std::string_view what) {
    if (auto v = by_name(kProtocols, s)) return *v;
    auto v = to_u64(s);
    if (!v || *v > 255) bad(what, s, "a protocol name (tcp, udp, icmp ...) or a number 0 to 255");
    return static_cast<int>(*v);
}

std::string format_protocol(int p) {
    const char *n = name_of(kProtocols, p);
    return n != nullptr ? n : std::to_string(p);
}

int parse_ethertype(std::string_view s, std::string_view what) {
    if (auto v = by_name(kEtherTypes, s)) return *v;
    auto v = to_u64(s);
    if (!v || *v > 0xFFFF)
        bad(what, s, "an EtherType name (ipv4, arp, ipv6, lldp ...) or a number 0 to 0xffff");
    return static_cast<int>(*v);
}

std::optional<std::string> ethertype_name(int t) {
    const char *n = name_of(kEtherTypes, t);
    if (n == nullptr) return std::nullopt;
    return std::string(n);
}

std::string format_ethertype(int t) {
    return ethertype_name(t).value_or(hex(static_cast<std::uint64_t>(t), 4));
}

bool parse_on_off(std::string_view s, std::string_view what) {
    std::string l = lower(s);
    if (l == "on") return true;
    if (l == "off") return false;
    bad(what, s, "on or off");
}

std::vector<std::uint8_t> parse_bytes(std::string_view s, std::string_view what) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : s) {
        if (c == ':' || c == ' ' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            bad(what, s, "bytes in hexadecimal, like 01:02:ff or 0102ff");
        digits += c;
    }
    if (digits.size() % 2 != 0) bad(what, s, "bytes in hexadecimal, like 01:02:ff or 0102ff");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(*to_u64("0x" + digits.substr(i, 2))));
    return out;
}

std::string format_bytes(const std::uint8_t *p, std::size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string r;
    r.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        r += d[p[i] >> 4];
        r += d[p[i] & 0xF];
    }
    return r;
}

std::string hex(std::uint64_t v, int digits) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

}  // namespace kelfctl
