// frame.cpp - fmsim's frame parser: Ethernet II, up to two VLAN tags, MPLS,
// IPv4 (with options), IPv6 (fixed header) and TCP/UDP ports. Every read is
// checked against the frame's length; a frame too short for what its headers
// announce stops there with the reason.
#include "frame.h"

#include <algorithm>
#include <cstring>

namespace fmsim {
namespace {

std::uint16_t be16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t be32(const std::uint8_t *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
std::uint64_t mac(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 6; ++i) v = (v << 8) | p[i];
    return v;
}
// Four bytes as rules pack IPv6 words: the last byte most significant.
std::uint32_t le32(const std::uint8_t *p) {
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
           p[0];
}

constexpr std::uint16_t kIpv4 = 0x0800, kIpv6 = 0x86DD, kMpls = 0x8847, kMplsMulti = 0x8848;
constexpr std::uint8_t kTcp = 6, kUdp = 17;

// Ports of a TCP or UDP header at p with n bytes available up to the end of
// the IP payload.
void parse_l4(const std::uint8_t *p, std::size_t n, FmsimParsedFrame *f) {
    if (f->protocol != kTcp && f->protocol != kUdp) return;
    std::size_t need = f->protocol == kTcp ? 20 : 8;
    if (n < need) {
        f->error = FmsimParseError::ShortL4;
        return;
    }
    f->l4 = true;
    f->src_port = be16(p);
    f->dst_port = be16(p + 2);
}

void parse_ipv4(const std::uint8_t *p, std::size_t n, FmsimParsedFrame *f) {
    if (n < 20) {
        f->error = FmsimParseError::ShortIp;
        return;
    }
    std::size_t ihl = (p[0] & 0x0F) * 4u;
    std::size_t total = be16(p + 2);
    if ((p[0] >> 4) != 4 || ihl < 20 || total < ihl) {
        f->error = FmsimParseError::BadIp;
        return;
    }
    if (ihl > n || total > n) {
        f->error = FmsimParseError::ShortIp;
        return;
    }
    f->ipv4 = true;
    f->dscp = static_cast<std::uint8_t>(p[1] >> 2);
    f->protocol = p[9];
    f->src_ip[0] = be32(p + 12);
    f->dst_ip[0] = be32(p + 16);
    f->fragment = (be16(p + 6) & 0x1FFF) != 0;
    // Bytes past the total length are padding, not payload.
    if (!f->fragment) parse_l4(p + ihl, total - ihl, f);
}

void parse_ipv6(const std::uint8_t *p, std::size_t n, FmsimParsedFrame *f) {
    if (n < 40) {
        f->error = FmsimParseError::ShortIp;
        return;
    }
    if ((p[0] >> 4) != 6) {
        f->error = FmsimParseError::BadIp;
        return;
    }
    std::size_t payload = be16(p + 4);
    if (payload > n - 40) {
        f->error = FmsimParseError::ShortIp;
        return;
    }
    f->ipv6 = true;
    std::uint32_t head = be32(p);
    f->dscp = static_cast<std::uint8_t>((head >> 22) & 0x3F);
    f->flow_label = head & 0xFFFFF;
    f->protocol = p[6];
    for (int w = 0; w < 4; ++w) {
        f->src_ip[w] = le32(p + 8 + 12 - 4 * w);
        f->dst_ip[w] = le32(p + 24 + 12 - 4 * w);
    }
    parse_l4(p + 40, payload, f);
}

}  // namespace

void parse_frame(const std::uint8_t *bytes, std::size_t length, FmsimParsedFrame *f) {
    *f = FmsimParsedFrame{};
    f->length = length;
    if (bytes == nullptr || length < 14) {
        f->error = FmsimParseError::ShortEthernet;
        return;
    }
    f->dmac = mac(bytes);
    f->smac = mac(bytes + 6);
    std::size_t at = 12;
    std::uint16_t type = be16(bytes + at);
    while (is_tpid(type) && f->tags < 2) {
        if (length < at + 6) {
            f->error = FmsimParseError::ShortTag;
            return;
        }
        std::uint16_t tci = be16(bytes + at + 2);
        f->tpid[f->tags] = type;
        f->pcp[f->tags] = static_cast<std::uint8_t>(tci >> 13);
        f->dei[f->tags] = static_cast<std::uint8_t>((tci >> 12) & 1);
        f->vid[f->tags] = static_cast<std::uint16_t>(tci & 0x0FFF);
        ++f->tags;
        at += 4;
        type = be16(bytes + at);
    }
    f->ethertype = type;
    at += 2;
    f->l3_offset = at;
    const std::uint8_t *p = bytes + at;
    std::size_t n = length - at;
    std::memcpy(f->payload, p, std::min(n, sizeof f->payload));
    switch (type) {
        case kIpv4:
            parse_ipv4(p, n, f);
            break;
        case kIpv6:
            parse_ipv6(p, n, f);
            break;
        case kMpls:
        case kMplsMulti:
            if (n < 4) {
                f->error = FmsimParseError::ShortMpls;
                return;
            }
            f->mpls = true;
            f->mpls_label_word = be32(p);
            break;
        default:
            break;
    }
}

}  // namespace fmsim

FmsimParsedFrame fmsim_parse_frame(const std::uint8_t *bytes, std::size_t length) {
    FmsimParsedFrame f;
    fmsim::parse_frame(bytes, length, &f);
    return f;
}
