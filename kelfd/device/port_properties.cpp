// port_properties.cpp - port property commands: each reads or writes one
// attribute of one port in the switch; only the stay-up flag lives here.
#include "device/port_properties.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "fm_sdk.h"
#include "messages.h"
#include "sdk_util.h"

namespace {

constexpr fm_uint16 kFirstPromiscVlan = 2;

// A 32-bit port attribute, read into a value cleared first.
template <typename T>
bool get_attr(int unit, int port, fm_int attr, T *value, const char *what) {
    *value = 0;
    fm_status st = fmGetPortAttribute(unit, port, attr, value);
    cleanup(st, what);
    return st == FM_OK;
}

template <typename T>
int set_attr(int unit, int port, fm_int attr, T value, const char *what) {
    fm_status st = fmSetPortAttribute(unit, port, attr, &value);
    cleanup(st, what);
    return st == FM_OK ? 0 : -1;
}

struct PrbsPattern {
    int order;
    fm_portSubmode tx, rx;
};

constexpr PrbsPattern kPrbs[] = {
    {7, FM_BIST_TX_PRBS_128, FM_BIST_RX_PRBS_128},
    {9, FM_BIST_TX_PRBS_512B, FM_BIST_RX_PRBS_512B},
    {11, FM_BIST_TX_PRBS_2048, FM_BIST_RX_PRBS_2048},
    {15, FM_BIST_TX_PRBS_32K, FM_BIST_RX_PRBS_32K},
    {23, FM_BIST_TX_PRBS_8M, FM_BIST_RX_PRBS_8M},
    {31, FM_BIST_TX_PRBS_2G, FM_BIST_RX_PRBS_2G},
};

void print_switch_info(const fm_switchInfo &i) {
    std::printf("ebiClock %d\n", i.ebiClock);
    std::printf("fhRefClock %d\n", i.fhRefClock);
    std::printf("version 0x%x\n", i.version);
    std::printf("partNumber 0x%x\n", i.partNumber);
    std::printf("jtagId 0x%x\n", i.jtagId);
    std::printf("switchFamily %d\n", i.switchFamily);
    std::printf("switchModel %d\n", i.switchModel);
    std::printf("switchVersion %d\n", i.switchVersion);
    std::printf("numPorts %d\n", i.numPorts);
    std::printf("numCardPorts %d\n", i.numCardPorts);
    std::printf("maxVLAN %d\n", i.maxVLAN);
    std::printf("maxPortMirrors %d\n", i.maxPortMirrors);
    std::printf("maxTrigs %d\n", i.maxTrigs);
    std::printf("maxLags %d\n", i.maxLags);
    std::printf("maxPortsPerLag %d\n", i.maxPortsPerLag);
    std::printf("maxVlanCounters %d\n", i.maxVlanCounters);
    std::printf("memorySize %d\n", i.memorySize);
    std::printf("availableMemorySize %d\n", i.availableMemorySize);
    std::printf("packageType %d\n", i.packageType);
    std::printf("up %d\n", i.up);
    std::fflush(stdout);
}

}  // namespace

int kel_add_vlan_promisc_fn(int unit, int port) {
    fm_status st = FM_OK;
    kelf::CleanupOnce cleanup;  // a missing port would fail 8,188 times
    for (int v = kFirstPromiscVlan; v <= FM_MAX_VLAN; ++v) {
        auto vlan = static_cast<fm_uint16>(v);
        // A port that cannot carry tags joins untagged; only a second
        // refusal is worth a line.
        st = fmAddVlanPort(unit, vlan, port, TRUE);
        if (st != FM_OK) {
            st = fmAddVlanPort(unit, vlan, port, FALSE);
            cleanup(st, "fmAddVlanPort");
        }
        st = fmSetVlanPortState(unit, vlan, port, FM_STP_STATE_FORWARDING);
        cleanup(st, "fmSetVlanPortState");
    }
    return st;
}

int kel_del_vlan_promisc_fn(int unit, int port) {
    fm_status st = FM_OK;
    kelf::CleanupOnce cleanup;
    for (int v = kFirstPromiscVlan; v <= FM_MAX_VLAN; ++v) {
        st = fmDeleteVlanPort(unit, static_cast<fm_uint16>(v), port);
        cleanup(st, "fmDeleteVlanPort");
    }
    return st;
}

int kel_get_port_speed_fn(int unit, int port) {
    if (port < 1 || port > KEL_MAX_PORTS) return -1;
    fm_int v;
    if (!get_attr(unit, port, FM_PORT_SPEED, &v, "fmGetPortAttribute FM_PORT_SPEED")) return -1;
    return v;
}

int kel_get_port_eth_mode_fn(int unit, int port) {
    if (port < 1 || port > KEL_MAX_PORTS) return -1;
    fm_int v;
    if (!get_attr(unit, port, FM_PORT_ETHERNET_INTERFACE_MODE, &v,
                  "fmGetPortAttribute FM_PORT_ETHERNET_INTERFACE_MODE"))
        return -1;
    return v;
}

int kel_set_port_parser_fn(int unit, int port, int val) {
    // Unsigned, so that no client value overflows.
    fm_uint32 v = static_cast<fm_uint32>(val) - 2u;
    return set_attr(unit, port, FM_PORT_PARSER, v, "fmSetPortAttribute FM_PORT_PARSER");
}

int kel_get_port_parser_fn(int unit, int port) {
    fm_uint32 v;
    if (!get_attr(unit, port, FM_PORT_PARSER, &v, "fmGetPortAttribute FM_PORT_PARSER")) return -1;
    return static_cast<int>(v + 2u);
}

int kel_set_rframe_update_fn(int unit, int port, int val) {
    return set_attr(unit, port, FM_PORT_ROUTED_FRAME_UPDATE_FIELDS, static_cast<fm_uint32>(val),
                    "fmSetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS");
}

int kel_get_rframe_update_fn(int unit, int port) {
    fm_uint32 v;
    if (!get_attr(unit, port, FM_PORT_ROUTED_FRAME_UPDATE_FIELDS, &v,
                  "fmGetPortAttribute FM_PORT_ROUTED_FRAME_UPDATE_FIELDS"))
        return -1;
    return static_cast<int>(v);
}

int kel_set_ttl_update_fn(int unit, int port, int val) {
    fm_bool b = static_cast<std::uint8_t>(val);
    return set_attr(unit, port, FM_PORT_UPDATE_TTL, b, "fmSetPortAttribute FM_PORT_UPDATE_TTL");
}

int kel_get_ttl_update_fn(int unit, int port) {
    fm_bool b;
    if (!get_attr(unit, port, FM_PORT_UPDATE_TTL, &b, "fmGetPortAttribute FM_PORT_UPDATE_TTL"))
        return -1;
    // The flag is one byte on the wire: widened without its sign.
    return static_cast<std::uint8_t>(b);
}

int kel_set_prbs_fn(int unit, int port, int pattern, int transmit) {
    if (!kelf::unit_inserted(unit)) return -1;
    const PrbsPattern *p = nullptr;
    for (const PrbsPattern &c : kPrbs)
        if (c.order == pattern) p = &c;
    if (p == nullptr) return -1;
    fm_status st = fmSetPortState(unit, port, FM_PORT_STATE_BIST, transmit ? p->tx : p->rx);
    cleanup(st, "fmSetPortState MODE BIST");
    return st == FM_OK ? 0 : -1;
}

int kel_get_port_state_fn(int unit, int port, kel_lbg_query_list_t *list) {
    fmDbgDumpScheduler(unit);
    // Zeroed first, so that a switch that cannot describe itself prints
    // zeros rather than stack contents.
    fm_switchInfo info;
    std::memset(&info, 0, sizeof info);
    (void)fmGetSwitchInfo(unit, &info);
    print_switch_info(info);
    fmDbgDumpPortAttributes(unit, port);

    // Mode, state and the info words land in list entries 0..5; what the
    // switch does not write goes back as the client sent it.
    constexpr int kWords = 2 + FM_PORT_INFO_WORDS;
    fm_int words[kWords];
    auto *entries = reinterpret_cast<unsigned char *>(list) +
                    offsetof(kel_lbg_query_list_t, kel_lbg_list.lbg_list);
    std::memcpy(words, entries, sizeof words);
    fm_status st = fmGetPortState(unit, port, &words[0], &words[1], &words[2]);
    std::memcpy(entries, words, sizeof words);
    cleanup(st, kelf::msg::kFmGetPortState);
    return st == FM_OK ? 0 : -1;
}

int kel_set_loopback_fn(int unit, int port, int mode) {
    if (mode < 0 || mode > 2) return -1;
    // Frames looped back must not be suppressed; the suppression's own
    // outcome is not the client's concern.
    fm_int suppress = mode == 0 ? 1 : 0;
    (void)fmSetPortAttribute(unit, port, FM_PORT_LOOPBACK_SUPPRESSION, &suppress);
    (void)fmGetPortAttribute(unit, port, FM_PORT_LOOPBACK_SUPPRESSION, &suppress);
    fm_int loopback = mode;
    fm_status wst = fmSetPortAttributeV2(unit, port, -1, -1, FM_PORT_LOOPBACK, &loopback);
    fm_status rst = fmGetPortAttributeV2(unit, port, -1, -1, FM_PORT_LOOPBACK, &loopback);
    // A failed write is answered as such, whatever the read-back says.
    return wst != FM_OK ? wst : rst;
}
