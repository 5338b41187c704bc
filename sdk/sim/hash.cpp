// hash.cpp - fmsim's hash settings: an L2 hash key and an L3 hash
// configuration per hash profile, as the switch attributes FM_L2_HASH_KEY
// and FM_L3_HASH_CONFIG. The record's profileIndex picks the profile.
#include <array>
#include <cstring>
#include <vector>

#include "fmsim.h"
#include "fmsim_hash.h"
#include "sim.h"

namespace {

struct Profiles {
    std::array<fm_L2HashKey, FM_HASH_PROFILES> l2;
    std::array<fm_L3HashConfig, FM_HASH_PROFILES> l3;
};

// Power-on setting: every field of the frame enters the hash.
fm_L2HashKey default_l2(int profile) {
    fm_L2HashKey k;
    std::memset(&k, 0, sizeof k);
    k.SMACMask = 0xFFFFFFFFFFFFull;
    k.DMACMask = 0xFFFFFFFFFFFFull;
    k.etherTypeMask = 0xFFFF;
    k.vlanId1Mask = 0xFFF;
    k.vlanPri1Mask = 0xF;
    k.useL3Hash = TRUE;
    k.useL2ifIP = TRUE;
    k.profileIndex = profile;
    return k;
}

fm_L3HashConfig default_l3(int profile) {
    fm_L3HashConfig c;
    std::memset(&c, 0, sizeof c);
    c.SIPMask = 0xFFFFFFFF;
    c.DIPMask = 0xFFFFFFFF;
    c.L4SrcMask = 0xFFFF;
    c.L4DstMask = 0xFFFF;
    c.protocolMask = 0xFF;
    c.flowMask = 0xFFFFF;
    c.useTCP = TRUE;
    c.useUDP = TRUE;
    c.profileIndex = profile;
    return c;
}

std::vector<Profiles> &profiles() {
    static auto *p = new std::vector<Profiles>;
    return *p;
}

void reset_hash() {
    Profiles p;
    for (int i = 0; i < FM_HASH_PROFILES; ++i) {
        p.l2[static_cast<size_t>(i)] = default_l2(i);
        p.l3[static_cast<size_t>(i)] = default_l3(i);
    }
    profiles().assign(FM_MAX_NUM_SWITCHES, p);
}

bool valid_profile(fm_int profile) {
    return profile >= 0 && profile < FM_HASH_PROFILES;
}

// The switch has already been checked by fmGet/SetSwitchAttribute.
fm_status set_l2(fm_int sw, void *value) {
    fm_L2HashKey k;
    std::memcpy(&k, value, sizeof k);
    if (!valid_profile(k.profileIndex)) return FM_ERR_INVALID_INDEX;
    // Masks wider than their field are refused, as the switch's registers hold no more.
    if (k.SMACMask > 0xFFFFFFFFFFFFull || k.DMACMask > 0xFFFFFFFFFFFFull ||
        k.etherTypeMask > 0xFFFF || k.vlanId1Mask > 0xFFF || k.vlanId2Mask > 0xFFF ||
        k.vlanPri1Mask > 0xF || k.vlanPri2Mask > 0xF)
        return FM_ERR_INVALID_VALUE;
    profiles()[static_cast<size_t>(sw)].l2[static_cast<size_t>(k.profileIndex)] = k;
    return FM_OK;
}

fm_status get_l2(fm_int sw, void *value) {
    fm_int profile;
    std::memcpy(&profile, static_cast<char *>(value) + offsetof(fm_L2HashKey, profileIndex),
                sizeof profile);
    if (!valid_profile(profile)) return FM_ERR_INVALID_INDEX;
    const fm_L2HashKey &k = profiles()[static_cast<size_t>(sw)].l2[static_cast<size_t>(profile)];
    std::memcpy(value, &k, sizeof k);
    return FM_OK;
}

fm_status set_l3(fm_int sw, void *value) {
    fm_L3HashConfig c;
    std::memcpy(&c, value, sizeof c);
    if (!valid_profile(c.profileIndex)) return FM_ERR_INVALID_INDEX;
    profiles()[static_cast<size_t>(sw)].l3[static_cast<size_t>(c.profileIndex)] = c;
    return FM_OK;
}

fm_status get_l3(fm_int sw, void *value) {
    fm_int profile;
    std::memcpy(&profile, static_cast<char *>(value) + offsetof(fm_L3HashConfig, profileIndex),
                sizeof profile);
    if (!valid_profile(profile)) return FM_ERR_INVALID_INDEX;
    const fm_L3HashConfig &c = profiles()[static_cast<size_t>(sw)].l3[static_cast<size_t>(profile)];
    std::memcpy(value, &c, sizeof c);
    return FM_OK;
}

struct Init {
    Init() {
        reset_hash();
        fmsim::on_reset(reset_hash);
        fmsim::register_switch_attr(FM_L2_HASH_KEY, set_l2, get_l2);
        fmsim::register_switch_attr(FM_L3_HASH_CONFIG, set_l3, get_l3);
    }
} init;

}  // namespace

bool fmsim_l2_hash(int sw, int profile, fm_L2HashKey *out) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (fmsim::find_switch(sw) == nullptr || !valid_profile(profile) || out == nullptr)
        return false;
    *out = profiles()[static_cast<size_t>(sw)].l2[static_cast<size_t>(profile)];
    return true;
}

bool fmsim_l3_hash(int sw, int profile, fm_L3HashConfig *out) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (fmsim::find_switch(sw) == nullptr || !valid_profile(profile) || out == nullptr)
        return false;
    *out = profiles()[static_cast<size_t>(sw)].l3[static_cast<size_t>(profile)];
    return true;
}

const fm_L2HashKey &fmsim::l2_hash_key(fm_int sw) {
    return profiles()[static_cast<size_t>(sw)].l2[0];
}

const fm_L3HashConfig &fmsim::l3_hash_config(fm_int sw) {
    return profiles()[static_cast<size_t>(sw)].l3[0];
}
