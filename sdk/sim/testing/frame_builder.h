// frame_builder.h - frames for tests, fuzz seeds and benchmarks: Ethernet II
// with VLAN tags, IPv4, IPv6, MPLS and TCP/UDP, built from a description.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace fmsimtest {

enum class L3 { None, Ipv4, Ipv6, Mpls };

struct FrameDef {
    std::uint64_t dmac = 0x020000000002ull;
    std::uint64_t smac = 0x020000000001ull;
    struct Tag {
        std::uint16_t tpid = 0x8100;
        std::uint16_t vid = 0;
        std::uint8_t pcp = 0;
    };
    std::vector<Tag> tags;
    std::uint16_t ethertype = 0x88B5;  // used when l3 is None
    L3 l3 = L3::None;
    std::uint32_t src_ip = 0x0A000001, dst_ip = 0x0A000002;  // IPv4, as numbers
    std::array<std::uint8_t, 16> src_ip6{}, dst_ip6{};
    std::uint8_t protocol = 17;
    std::uint8_t dscp = 0;
    std::uint32_t flow_label = 0;
    bool fragment = false;  // a non-first IPv4 fragment
    std::uint16_t src_port = 1000, dst_port = 2000;
    std::uint32_t mpls_label = 100;
    std::vector<std::uint8_t> payload;  // after the EtherType when l3 is None
    std::size_t length = 64;            // at least; padded with zeros
};

inline void put16(std::vector<std::uint8_t> &b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void put32(std::vector<std::uint8_t> &b, std::uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
inline void put_mac(std::vector<std::uint8_t> &b, std::uint64_t m) {
    for (int i = 5; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(m >> (8 * i)));
}

inline std::vector<std::uint8_t> build(const FrameDef &s) {
    std::vector<std::uint8_t> b;
    put_mac(b, s.dmac);
    put_mac(b, s.smac);
    for (const auto &t : s.tags) {
        put16(b, t.tpid);
        put16(b, (std::uint32_t{t.pcp} << 13) | (t.vid & 0xFFF));
    }
    bool l4 = s.protocol == 6 || s.protocol == 17;
    std::size_t l4_len = s.protocol == 6 ? 20 : 8;
    switch (s.l3) {
        case L3::None:
            put16(b, s.ethertype);
            b.insert(b.end(), s.payload.begin(), s.payload.end());
            break;
        case L3::Mpls:
            put16(b, 0x8847);
            put32(b, (s.mpls_label << 12) | 0x100 | 64);  // bottom of stack, TTL 64
            break;
        case L3::Ipv4: {
            put16(b, 0x0800);
            std::size_t total = 20 + (l4 && !s.fragment ? l4_len : 0);
            if (s.length > b.size() + total) total = s.length - b.size();
            b.push_back(0x45);
            b.push_back(static_cast<std::uint8_t>(s.dscp << 2));
            put16(b, static_cast<std::uint32_t>(total));
            put16(b, 0);
            put16(b, s.fragment ? 0x0010 : 0x4000);
            b.push_back(64);
            b.push_back(s.protocol);
            put16(b, 0);
            put32(b, s.src_ip);
            put32(b, s.dst_ip);
            if (l4 && !s.fragment) {
                put16(b, s.src_port);
                put16(b, s.dst_port);
                b.resize(b.size() + l4_len - 4, 0);
            }
            break;
        }
        case L3::Ipv6: {
            put16(b, 0x86DD);
            std::size_t payload = l4 ? l4_len : 0;
            if (s.length > b.size() + 40 + payload) payload = s.length - b.size() - 40;
            put32(b, (6u << 28) | (std::uint32_t{s.dscp} << 22) | (s.flow_label & 0xFFFFF));
            put16(b, static_cast<std::uint32_t>(payload));
            b.push_back(s.protocol);
            b.push_back(64);
            b.insert(b.end(), s.src_ip6.begin(), s.src_ip6.end());
            b.insert(b.end(), s.dst_ip6.begin(), s.dst_ip6.end());
            if (l4) {
                put16(b, s.src_port);
                put16(b, s.dst_port);
                b.resize(b.size() + l4_len - 4, 0);
            }
            break;
        }
    }
    if (b.size() < s.length) b.resize(s.length, 0);
    return b;
}

}  // namespace fmsimtest
