// hash.cpp - the L2 and L3/L4 hash settings. The daemon keeps no copy: a
// set reads the switch's setting, changes the fields its selector names and
// writes it back.
#include <cstdint>
#include <cstring>

#include "distribution.h"
#include "fm_sdk.h"
#include "messages.h"
#include "sdk_util.h"

namespace {

// A MAC mask travels as 6 bytes, the most significant first.
fm_macaddr mac_from_bytes(const std::uint8_t b[6]) {
    fm_macaddr v = 0;
    for (int i = 0; i < 6; ++i) v = (v << 8) | b[i];
    return v;
}

void mac_to_bytes(fm_macaddr v, std::uint8_t b[6]) {
    for (int i = 5; i >= 0; --i) {
        b[i] = static_cast<std::uint8_t>(v & 0xFF);
        v >>= 8;
    }
}

// Reads the setting of profile 0 (the record is zeroed first).
template <typename Record>
fm_status read_profile0(int unit, fm_int attr, Record *r, const char *what) {
    std::memset(r, 0, sizeof *r);
    fm_status st = fmGetSwitchAttribute(unit, attr, r);
    cleanup(st, what);
    return st;
}

}  // namespace

int kel_set_l2_hash_fn(int unit, kel_l2_hash_t *l2_hash) {
    fm_L2HashKey key;
    fm_status st = read_profile0(unit, FM_L2_HASH_KEY, &key, "get FM_L2_HASH_KEY");
    if (st != FM_OK) return st;
    if (l2_hash == nullptr) return -1;

    // Copied out of the packed record before use.
    kel_l2_hash_t h;
    std::memcpy(&h, l2_hash, sizeof h);
    const std::uint32_t set = h.l2_hash_set;
    if (set & KEL_L2_HASH_SRC_MAC) key.SMACMask = mac_from_bytes(h.src_mac_mask);
    if (set & KEL_L2_HASH_DST_MAC) key.DMACMask = mac_from_bytes(h.dst_mac_mask);
    if (set & KEL_L2_HASH_ETHER_TYPE) key.etherTypeMask = h.ether_type_mask & 0xFFFF;
    // One bit for the outer and the inner tag alike.
    if (set & KEL_L2_HASH_VLAN_ID) {
        key.vlanId1Mask = h.vlan_id_mask & 0xFFF;
        key.vlanId2Mask = h.vlan2_id_mask & 0xFFF;
    }
    if (set & KEL_L2_HASH_VLAN_PRI) {
        key.vlanPri1Mask = h.vlan_pri & 0xF;
        key.vlanPri2Mask = h.vlan2_pri & 0xF;
    }
    if (set & KEL_L2_HASH_SYM_MAC) key.symmetrizeMAC = static_cast<fm_bool>(h.sym_mac & 0xFF);
    if (set & KEL_HASH_PROFILE) key.profileIndex = static_cast<fm_int>(h.profile_index);

    st = fmSetSwitchAttribute(unit, FM_L2_HASH_KEY, &key);
    cleanup(st, kelf::msg::kSetL2HashKey);
    return st;
}

int kel_set_l3_hash_fn(int unit, kel_l3_hash_t *l3_hash) {
    fm_L3HashConfig cfg;
    fm_status st = read_profile0(unit, FM_L3_HASH_CONFIG, &cfg, "get FM_L3_HASH_CONFIG");
    if (st != FM_OK) return st;
    if (l3_hash == nullptr) return -1;

    kel_l3_hash_t h;
    std::memcpy(&h, l3_hash, sizeof h);
    const std::uint32_t set = h.l3_hash_set;
    if (set & KEL_L3_HASH_SRC_IP) cfg.SIPMask = h.src_ip_mask;
    if (set & KEL_L3_HASH_DST_IP) cfg.DIPMask = h.dst_ip_mask;
    if (set & KEL_L3_HASH_SRC_PORT) cfg.L4SrcMask = h.src_port_mask;
    if (set & KEL_L3_HASH_DST_PORT) cfg.L4DstMask = h.dst_port_mask;
    if (set & KEL_L3_HASH_DSCP) cfg.DSCPMask = h.dscp_mask;
    if (set & KEL_L3_HASH_ISL_USER) cfg.ISLUserMask = h.isl_usr_mask;
    if (set & KEL_L3_HASH_PROTO) cfg.protocolMask = h.proto_mask;
    if (set & KEL_L3_HASH_FLOW) cfg.flowMask = h.flow_mask;
    if (set & KEL_L3_HASH_SYM_L3) cfg.symmetrizeL3Fields = h.sym_l3_fields;
    if (set & KEL_L3_HASH_SYM_L4) cfg.symmetrizeL4Fields = h.sym_l4_fields;
    if (set & KEL_L3_HASH_CUSTOM) cfg.customFieldMask = h.custom_mask;
    if (set & KEL_L3_HASH_RANDOM_NEXT_HOP) cfg.randomNextHop = h.random_next_hop;
    if (set & KEL_L3_HASH_RANDOM_OTHER) cfg.randomOther = h.random_other;
    if (set & KEL_L3_HASH_RANDOM_ONLY) cfg.disableAllButRandom = h.random_only;
    if (set & KEL_HASH_PROFILE) cfg.profileIndex = static_cast<fm_int>(h.profile_index);

    st = fmSetSwitchAttribute(unit, FM_L3_HASH_CONFIG, &cfg);
    cleanup(st, kelf::msg::kSetL3HashConfig);
    return st;
}

int kel_get_l2_hash_fn(int unit, kel_l2_hash_t *l2_hash) {
    fm_L2HashKey key;
    fm_status st = read_profile0(unit, FM_L2_HASH_KEY, &key, "get FM_L2_HASH_KEY");
    if (l2_hash == nullptr) return st == FM_OK ? -1 : st;
    // Filled whatever the status: the client gets only the record.
    kel_l2_hash_t h;
    std::memcpy(&h, l2_hash, sizeof h);
    mac_to_bytes(key.SMACMask, h.src_mac_mask);
    mac_to_bytes(key.DMACMask, h.dst_mac_mask);
    h.ether_type_mask = key.etherTypeMask;
    h.vlan_id_mask = key.vlanId1Mask;
    h.vlan_pri = key.vlanPri1Mask;
    h.vlan2_id_mask = key.vlanId2Mask;
    h.vlan2_pri = key.vlanPri2Mask;
    h.sym_mac = key.symmetrizeMAC != FALSE ? 1 : 0;
    std::memcpy(l2_hash, &h, sizeof h);
    return st;
}

int kel_get_l3_hash_fn(int unit, kel_l3_hash_t *l3_hash) {
    fm_L3HashConfig cfg;
    fm_status st = read_profile0(unit, FM_L3_HASH_CONFIG, &cfg, "get FM_L3_HASH_CONFIG");
    if (l3_hash == nullptr) return st == FM_OK ? -1 : st;
    kel_l3_hash_t h;
    std::memcpy(&h, l3_hash, sizeof h);
    h.src_ip_mask = cfg.SIPMask;
    h.dst_ip_mask = cfg.DIPMask;
    h.src_port_mask = cfg.L4SrcMask;
    h.dst_port_mask = cfg.L4DstMask;
    h.dscp_mask = cfg.DSCPMask;
    h.isl_usr_mask = cfg.ISLUserMask;
    h.proto_mask = cfg.protocolMask;
    h.flow_mask = cfg.flowMask;
    h.custom_mask = cfg.customFieldMask;
    h.sym_l3_fields = cfg.symmetrizeL3Fields != FALSE ? 1 : 0;
    h.sym_l4_fields = cfg.symmetrizeL4Fields != FALSE ? 1 : 0;
    // The random flags go back as the switch's byte.
    h.random_next_hop = static_cast<std::uint8_t>(cfg.randomNextHop);
    h.random_other = static_cast<std::uint8_t>(cfg.randomOther);
    h.random_only = static_cast<std::uint8_t>(cfg.disableAllButRandom);
    std::memcpy(l3_hash, &h, sizeof h);
    return st;
}
