// rule_match.cpp - what a rule matches, both ways: the request's match
// fields into the switch's condition bits and values (the ingress port by
// glort or port set), and the stored values back into a query's fields.
#include "rule_match.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "messages.h"

fm_int portSet[KEL_MAX_UNITS][4];

namespace kelf::rules {
namespace {

// Whether each port-set slot holds a port set. Kept apart from the handles
// because a handle may be any number, 0 included.
bool port_set_used[KEL_MAX_UNITS][4];
// The rules of the unit's tables that match through each slot's set.
int port_set_rules[KEL_MAX_UNITS][4];

// The slot holding port set `set`, or -1.
int slot_of_set(int unit, fm_int set) {
    for (int i = 0; i < 4; ++i)
        if (port_set_used[unit][i] && portSet[unit][i] == set) return i;
    return -1;
}

// Deletes the slot's set once no rule uses it, and frees the slot. A set
// the switch keeps stays in its slot, for the next rule on its port.
void delete_unused(int unit, int i) {
    if (port_set_rules[unit][i] != 0) return;
    fm_status st = fmDeletePortSet(unit, portSet[unit][i]);
    if (st != FM_OK) {
        std::printf("port set %d stays: fmDeletePortSet:%s\n", portSet[unit][i], fmErrorMsg(st));
        std::fflush(stdout);
        return;
    }
    port_set_used[unit][i] = false;
    portSet[unit][i] = i == 0 ? -1 : 0;
}

constexpr fm_macaddr kFullMac = 0xFFFFFFFFFFFFULL;

// Bytes 4k..4k+3 as a little-endian word.
fm_uint32 le32(const std::uint8_t *p) {
    return static_cast<fm_uint32>(p[0]) | static_cast<fm_uint32>(p[1]) << 8 |
           static_cast<fm_uint32>(p[2]) << 16 | static_cast<fm_uint32>(p[3]) << 24;
}

// The switch keeps an IPv6 address with its last four bytes in addr[0].
void pack_ip6(const std::uint8_t *ip, fm_ipAddr &a) {
    for (int i = 0; i < 4; ++i) a.addr[3 - i] = le32(ip + 4 * i);
    a.isIPv6 = TRUE;
}

void match_ip4(fm_uint32 ip, fm_uint32 mask, fm_ipAddr &addr, fm_ipAddr &addr_mask) {
    addr.addr[0] = ip;
    addr_mask.addr[0] = mask ? mask : 0xFFFFFFFFu;
    addr.isIPv6 = FALSE;
    addr_mask.isIPv6 = FALSE;
}

void match_ip6(const kel_ip6_t &ip, const kel_ip6_t &mask, fm_ipAddr &addr, fm_ipAddr &addr_mask) {
    std::uint8_t m[16];
    if (mask.flag)
        std::memcpy(m, mask.ip, sizeof m);
    else
        std::memset(m, 0xFF, sizeof m);
    pack_ip6(ip.ip, addr);
    pack_ip6(m, addr_mask);
}

fm_macaddr mac48(const std::uint8_t *mac) {
    fm_macaddr v = 0;
    for (int i = 0; i < 6; ++i) v = v << 8 | mac[i];
    return v;
}

}  // namespace

bool is_pcie_port(int unit, int port) {
    fm_bool pcie = FALSE;
    if (port != 0) fmIsPciePort(unit, port, &pcie);  // a failure leaves it an ordinary port
    return pcie != FALSE;
}

bool match_glort(int unit, int action, bool pcie, kel_acl_rule_t &r) {
    if ((action & KEL_ACT_MIRROR) || pcie || r.port == 0) return true;
    r.cond |= FM_ACL_MATCH_SRC_GLORT;
    fm_uint32 glort = 0;
    if (fmGetStackGlort(unit, r.port, &glort) != FM_OK) return false;
    fm_aclValue v = r.value;
    v.srcGlort = static_cast<fm_uint16>(glort);
    v.srcGlortMask = 0xFFFF;
    r.value = v;
    return true;
}

void match_fields(const kel_mem_t &m, kel_acl_rule_t &r) {
    fm_aclValue v = r.value;  // written back whole at the end
    if (m.src_ip != 0) {
        r.cond |= FM_ACL_MATCH_SRC_IP;
        match_ip4(m.src_ip, m.src_ip_mask, v.srcIp, v.srcIpMask);
    }
    if (m.dst_ip != 0) {
        r.cond |= FM_ACL_MATCH_DST_IP;
        match_ip4(m.dst_ip, m.dst_ip_mask, v.dstIp, v.dstIpMask);
    }
    // An IPv6 address wins over an IPv4 one given in the same request.
    if (m.src_ip6.flag != 0) {
        r.cond |= FM_ACL_MATCH_SRC_IP;
        match_ip6(m.src_ip6, m.src_ip6_mask, v.srcIp, v.srcIpMask);
    }
    if (m.dst_ip6.flag != 0) {
        r.cond |= FM_ACL_MATCH_DST_IP;
        match_ip6(m.dst_ip6, m.dst_ip6_mask, v.dstIp, v.dstIpMask);
    }
    if (m.vlan != 0) {
        r.cond |= FM_ACL_MATCH_VLAN;
        v.vlanId = static_cast<fm_uint16>(m.vlan);
        v.vlanIdMask = 0x0FFF;
    }
    if (m.vlan_tag != 0) {
        // vlan_tag counts the switch's tag types from 1. The number goes on
        // unchecked, so it is formed without overflow and stored as the
        // member's int, not cast to a tag type that may not hold it.
        r.cond |= FM_ACL_MATCH_VLAN_TAG_TYPE;
        static_assert(sizeof v.vlanTag == sizeof(fm_int));
        fm_int tag = static_cast<fm_int>(static_cast<fm_uint32>(m.vlan_tag) - 1u);
        std::memcpy(&v.vlanTag, &tag, sizeof tag);
    }
    if (m.ether_type != 0) {
        r.cond |= FM_ACL_MATCH_ETHERTYPE;
        v.ethType = static_cast<fm_uint16>(m.ether_type);
        v.ethTypeMask = 0xFFFF;
    }
    if (m.mpls_type != 0) {
        r.cond |= FM_ACL_MATCH_ETHERTYPE;
        v.ethType = m.mpls_type == 2 ? 0x8848 : 0x8847;
        v.ethTypeMask = 0xFFFF;
        std::uint64_t header = m.mpls_header, mask = m.mpls_header_mask;
        if (header != 0) {
            r.cond |= FM_ACL_MATCH_NON_IP_PAYLOAD;
            std::memcpy(v.nonIPPayload, &header, sizeof header);
            std::memcpy(v.nonIPPayloadMask, &mask, sizeof mask);
        }
    }
    if (m.ip_protocol != 0) {
        r.cond |= FM_ACL_MATCH_PROTOCOL;
        v.protocol = static_cast<fm_byte>(m.ip_protocol);
        v.protocolMask = 0xFF;
    }
    if (m.src_port != 0) {
        v.L4SrcStart = static_cast<fm_uint16>(m.src_port);
        if (m.src_port_mask == 0) {
            r.cond |= FM_ACL_MATCH_L4_SRC_PORT;
        } else {
            v.L4SrcMask = static_cast<fm_uint16>(m.src_port_mask);
            r.cond |= FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK;
        }
    }
    if (m.dst_port != 0) {
        v.L4DstStart = static_cast<fm_uint16>(m.dst_port);
        if (m.dst_port_mask == 0) {
            r.cond |= FM_ACL_MATCH_L4_DST_PORT;
        } else {
            v.L4DstMask = static_cast<fm_uint16>(m.dst_port_mask);
            r.cond |= FM_ACL_MATCH_L4_DST_PORT_WITH_MASK;
        }
    }
    if (m.src_mac.flag != 0) {
        r.cond |= FM_ACL_MATCH_SRC_MAC;
        v.src = mac48(m.src_mac.mac);
        v.srcMask = kFullMac;
    }
    if (m.dst_mac.flag != 0) {
        r.cond |= FM_ACL_MATCH_DST_MAC;
        v.dst = mac48(m.dst_mac.mac);
        v.dstMask = kFullMac;
    }
    r.value = v;
}

namespace {

// Without a port set the rule would act on every port: it is refused.
int port_set_refused() {
    std::puts(kelf::msg::kPortSetError);
    std::fflush(stdout);
    return -1;
}

}  // namespace

int match_port_set(int unit, int port, kel_acl_rule_t &r) {
    for (int i = 0; i < 4; ++i) {
        fm_int &slot = portSet[unit][i];
        if (port_set_used[unit][i]) {
            fm_int first = 0;
            // Without the set's port the rule cannot know its set.
            if (fmGetPortSetPortFirst(unit, slot, &first) != FM_OK) return port_set_refused();
            if (first != port) continue;
        } else {
            fm_int ps = -1;
            if (fmCreatePortSet(unit, &ps) != FM_OK) return port_set_refused();
            if (fmAddPortSetPort(unit, ps, port) != FM_OK) {
                fmDeletePortSet(unit, ps);  // the slot stays free, so the set must go
                return port_set_refused();
            }
            slot = ps;
            port_set_used[unit][i] = true;
        }
        fm_aclValue v = r.value;
        v.portSet = slot;
        r.value = v;
        r.cond |= FM_ACL_MATCH_INGRESS_PORT_SET;
        return 0;
    }
    return port_set_refused();
}

namespace {

// An address word as the switch holds it, back into four bytes in the
// order the request carried them.
void put_le32(std::uint8_t *out, fm_uint32 w) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

// The inverse of pack_ip6: addr[3] holds bytes 0 to 3, addr[0] bytes 12
// to 15.
void unpack_ip6(const fm_ipAddr &a, std::uint8_t *ip) {
    for (int i = 0; i < 4; ++i) put_le32(ip + 4 * i, a.addr[3 - i]);
}

void unpack_mac(fm_macaddr v, std::uint8_t *mac) {
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v >> (8 * (5 - i)));
}

}  // namespace

void decode_match(const kel_acl_rule_t &r, kel_mem_t &m) {
    const fm_aclValue v = r.value;
    m.port = r.port;
    m.src_port = v.L4SrcStart;
    m.dst_port = v.L4DstStart;
    m.src_port_mask = v.L4SrcMask;
    m.dst_port_mask = v.L4DstMask;
    if (v.dstIp.isIPv6) {
        unpack_ip6(v.dstIp, m.dst_ip6.ip);
        unpack_ip6(v.dstIpMask, m.dst_ip6_mask.ip);
    } else {
        m.dst_ip = v.dstIp.addr[0];
        m.dst_ip_mask = v.dstIpMask.addr[0];
    }
    if (v.srcIp.isIPv6) {
        unpack_ip6(v.srcIp, m.src_ip6.ip);
        unpack_ip6(v.srcIpMask, m.src_ip6_mask.ip);
    } else {
        m.src_ip = v.srcIp.addr[0];
        m.src_ip_mask = v.srcIpMask.addr[0];
    }
    m.ip_protocol = v.protocol;
    m.vlan = v.vlanId;
    m.vlan_mask = v.vlanIdMask;
    m.ether_type = v.ethType;
    unpack_mac(v.src, m.src_mac.mac);
    unpack_mac(v.dst, m.dst_mac.mac);
    if (v.ethType == 0x8847) m.mpls_type = 1;
    if (v.ethType == 0x8848) m.mpls_type = 2;
    std::uint64_t header, mask;
    std::memcpy(&header, v.nonIPPayload, sizeof header);
    std::memcpy(&mask, v.nonIPPayloadMask, sizeof mask);
    m.mpls_header = header;
    m.mpls_header_mask = mask;
}

void port_set_held(int unit, const kel_acl_rule_t &r) {
    if (!(r.cond & FM_ACL_MATCH_INGRESS_PORT_SET)) return;
    int i = slot_of_set(unit, r.value.get().portSet);
    if (i >= 0) ++port_set_rules[unit][i];
}

void port_set_released(int unit, const kel_acl_rule_t &r, bool held) {
    if (!(r.cond & FM_ACL_MATCH_INGRESS_PORT_SET)) return;
    int i = slot_of_set(unit, r.value.get().portSet);
    if (i < 0) return;
    if (held && port_set_rules[unit][i] > 0) --port_set_rules[unit][i];
    delete_unused(unit, i);
}

void reset_port_sets() {
    for (int u = 0; u < KEL_MAX_UNITS; ++u) {
        portSet[u][0] = -1;
        portSet[u][1] = portSet[u][2] = portSet[u][3] = 0;
        for (bool &used : port_set_used[u]) used = false;
        for (int &n : port_set_rules[u]) n = 0;
    }
}

}  // namespace kelf::rules
