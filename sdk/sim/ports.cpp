// ports.cpp - fmsim's ports: the cardinal list, glorts, states, attributes
// and port masks; and the SDK's bit arrays.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "fmsim.h"
#include "sim.h"

namespace fmsim {
namespace {

// Power-on values of the 32-bit port attributes. Ethernet ports come up as
// 25G SR lanes; PCI Express and CPU ports have no Ethernet interface mode.
void default_attrs(Port &p) {
    bool eth = p.kind == PortKind::Ethernet;
    p.attrs = {
        {FM_PORT_DEF_VLAN, 1},
        {FM_PORT_MAX_FRAME_SIZE, 1536},
        {FM_PORT_RX_PAUSE, FALSE},
        {FM_PORT_ISL_TAG_FORMAT, FM_ISL_TAG_NONE},
        {FM_PORT_SPEED, eth ? 25000 : (p.kind == PortKind::Pcie ? 50000 : 0)},
        {FM_PORT_TXVPRI, FALSE},
        {FM_PORT_PARSER, 0},
        {FM_PORT_UPDATE_TTL, TRUE},
        {FM_PORT_LOOPBACK_SUPPRESSION, 1},
        {FM_PORT_ETHERNET_INTERFACE_MODE, eth ? FM_ETH_MODE_25GBASE_SR : FM_ETH_MODE_DISABLED},
        {FM_PORT_ROUTED_FRAME_UPDATE_FIELDS, 0},
    };
    sync_attrs(p);
}

}  // namespace

void sync_attrs(Port &p) {
    auto get = [&p](fm_int attr, fm_int32 absent) {
        auto it = p.attrs.find(attr);
        return it == p.attrs.end() ? absent : it->second;
    };
    p.def_vlan = get(FM_PORT_DEF_VLAN, 1);
    // No maximum is no bound at all.
    p.max_frame_size = get(FM_PORT_MAX_FRAME_SIZE, INT32_MAX);
}

void build_switch(Switch &s, int sw) {
    s = Switch{};
    s.present = true;
    s.card_ports = kDefaultCardPorts;
    s.ports.reserve(static_cast<size_t>(s.card_ports + kExtraPorts));
    for (int i = 0; i < s.card_ports + kExtraPorts; ++i) {
        Port p;
        bool extra = i >= s.card_ports;
        p.logical = extra ? kFirstExtraPort + (i - s.card_ports) : i;
        if (extra)
            p.kind = PortKind::Internal;
        else if (i == 0)
            p.kind = PortKind::Cpu;
        else if (i <= 40)
            p.kind = PortKind::Ethernet;
        else
            p.kind = PortKind::Pcie;
        // Each port its own glort, distinct per switch.
        p.glort = static_cast<fm_uint32>(0x1000 * (sw + 1) + 0x100 + i);
        default_attrs(p);
        // A port may send to every other cardinal port at power-on.
        for (int q = 0; q < s.card_ports && q < kMaskBits; ++q)
            if (q != i) p.mask.set(static_cast<size_t>(q));
        s.ports.push_back(std::move(p));
    }
}

int port_index(const Switch &s, fm_int port) {
    if (port >= 0 && port < s.card_ports) return port;
    if (port >= kFirstExtraPort && port < kFirstExtraPort + kExtraPorts)
        return s.card_ports + (port - kFirstExtraPort);
    return -1;
}

int port_index(fm_int sw, fm_int port) {
    Switch *s = find_switch(sw);
    return s == nullptr ? -1 : port_index(*s, port);
}

Port *find_port(fm_int sw, fm_int port) {
    int idx = port_index(sw, port);
    if (idx < 0) return nullptr;
    return &find_switch(sw)->ports[static_cast<size_t>(idx)];
}

}  // namespace fmsim

using fmsim::find_port;
using fmsim::find_switch;

namespace {

// Whether an attribute can hold the value, as the switch's fields of it
// can: a value past them is refused, never cut to their width.
bool value_fits(fm_int attr, fm_int32 v) {
    auto u = static_cast<fm_uint32>(v);
    switch (attr) {
        case FM_PORT_PARSER:
            return u <= FM_PORT_PARSER_DEEPEST;
        case FM_PORT_ROUTED_FRAME_UPDATE_FIELDS:
            return (u & ~FM_PORT_ROUTED_FRAME_UPDATE_ALL) == 0;
        default:
            return true;
    }
}

fm_status set_attr(fm_int sw, fm_int port, fm_int attr, void *value) {
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return FM_ERR_INVALID_PORT;
    if (attr == FM_PORT_MASK_WIDE) {
        auto *ba = static_cast<fm_bitArray *>(value);
        if (ba->bitArrayData == nullptr) return FM_ERR_INVALID_ARGUMENT;
        std::bitset<fmsim::kMaskBits> m;
        for (int q = 0; q < ba->bitCount && q < fmsim::kMaskBits; ++q)
            if (ba->bitArrayData[q / 32] & (1u << (q % 32))) m.set(static_cast<size_t>(q));
        p->mask = m;
        return FM_OK;
    }
    auto it = p->attrs.find(attr);
    if (it == p->attrs.end()) return FM_ERR_INVALID_ATTRIB;
    fm_int32 v;
    std::memcpy(&v, value, sizeof v);
    if (!value_fits(attr, v)) return FM_ERR_INVALID_VALUE;
    it->second = v;
    fmsim::sync_attrs(*p);
    return FM_OK;
}

fm_status get_attr(fm_int sw, fm_int port, fm_int attr, void *value) {
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return FM_ERR_INVALID_PORT;
    if (attr == FM_PORT_MASK_WIDE) {
        // Fills the caller's array as far as it reaches, like the switch.
        auto *ba = static_cast<fm_bitArray *>(value);
        if (ba->bitArrayData == nullptr) return FM_ERR_INVALID_ARGUMENT;
        std::memset(ba->bitArrayData, 0, static_cast<size_t>(ba->wordCount) * sizeof(fm_uint32));
        for (int q = 0; q < ba->bitCount && q < fmsim::kMaskBits; ++q)
            if (p->mask.test(static_cast<size_t>(q))) ba->bitArrayData[q / 32] |= 1u << (q % 32);
        return FM_OK;
    }
    auto it = p->attrs.find(attr);
    if (it == p->attrs.end()) return FM_ERR_INVALID_ATTRIB;
    std::memcpy(value, &it->second, sizeof(fm_int32));
    return FM_OK;
}

bool bit_ok(const fm_bitArray *ba, fm_int bit) {
    return ba != nullptr && ba->bitArrayData != nullptr && bit >= 0 && bit < ba->bitCount;
}

}  // namespace

extern "C" {

fm_status fmGetSwitchInfo(fm_int sw, fm_switchInfo *info) {
    FMSIM_ENTER("fmGetSwitchInfo");
    fmsim::Switch *s = find_switch(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (info == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::memset(info, 0, sizeof *info);
    info->switchNumber = sw;
    info->switchFamily = 10000;
    info->numCardPorts = s->card_ports;
    info->numPorts = s->card_ports + fmsim::kExtraPorts;
    info->maxVLAN = 4095;
    info->maxPhysicalPort = s->card_ports - 1;
    info->up = s->up ? TRUE : FALSE;
    info->ebiClock = 50;
    info->fhRefClock = 700;
    info->version = 0x2;
    info->partNumber = 0xA510;
    info->jtagId = 0x1A51021D;
    info->switchModel = 1;
    info->switchVersion = 2;
    info->maxPortMirrors = 4;
    info->maxTrigs = 64;
    info->maxLags = 256;
    info->maxPortsPerLag = 16;
    info->maxVlanCounters = 64;
    info->memorySize = 5 * 1024 * 1024;
    info->availableMemorySize = 5 * 1024 * 1024 - 256 * 1024;
    info->packageType = 0;
    return FM_OK;
}

fm_status fmMapCardinalPort(fm_int sw, fm_int cpi, fm_int *logPort, fm_int *physPort) {
    FMSIM_ENTER("fmMapCardinalPort");
    fmsim::Switch *s = find_switch(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (cpi < 0 || cpi >= s->card_ports) return FM_ERR_INVALID_INDEX;
    if (logPort) *logPort = s->ports[static_cast<size_t>(cpi)].logical;
    if (physPort) *physPort = cpi;
    return FM_OK;
}

fm_status fmIsPciePort(fm_int sw, fm_int port, fm_bool *isPciePort) {
    FMSIM_ENTER("fmIsPciePort");
    if (find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return FM_ERR_INVALID_PORT;
    if (isPciePort == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *isPciePort = p->kind == fmsim::PortKind::Pcie ? TRUE : FALSE;
    return FM_OK;
}

fm_status fmGetStackGlort(fm_int sw, fm_int port, fm_uint32 *glort) {
    FMSIM_ENTER("fmGetStackGlort");
    if (find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return FM_ERR_INVALID_PORT;
    if (glort == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *glort = p->glort;
    return FM_OK;
}

fm_status fmSetPortState(fm_int sw, fm_int port, fm_int mode, fm_int subMode) {
    FMSIM_ENTER("fmSetPortState");
    if (find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return FM_ERR_INVALID_PORT;
    if (mode < FM_PORT_STATE_UP || mode > FM_PORT_STATE_DOWN) return FM_ERR_INVALID_ARGUMENT;
    p->mode = mode;
    p->submode = subMode;
    fmsim::port_mode_changed(sw, *p);
    return FM_OK;
}

fm_status fmSetPortAttribute(fm_int sw, fm_int port, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetPortAttribute");
    return set_attr(sw, port, attr, value);
}

fm_status fmGetPortAttribute(fm_int sw, fm_int port, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetPortAttribute");
    return get_attr(sw, port, attr, value);
}

fm_status fmSetPortAttributeV2(fm_int sw, fm_int port, fm_int mac, fm_int lane, fm_int attr,
                               void *value) {
    FMSIM_ENTER("fmSetPortAttributeV2");
    (void)mac;
    (void)lane;
    if (attr == FM_PORT_LOOPBACK) {
        fmsim::Port *p = find_port(sw, port);
        if (p == nullptr) return find_switch(sw) ? FM_ERR_INVALID_PORT : FM_ERR_INVALID_SWITCH;
        if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
        fm_int v;
        std::memcpy(&v, value, sizeof v);
        if (v < 0 || v > 2) return FM_ERR_INVALID_VALUE;
        p->loopback = v;
        return FM_OK;
    }
    return set_attr(sw, port, attr, value);
}

fm_status fmGetPortAttributeV2(fm_int sw, fm_int port, fm_int mac, fm_int lane, fm_int attr,
                               void *value) {
    FMSIM_ENTER("fmGetPortAttributeV2");
    (void)mac;
    (void)lane;
    if (attr == FM_PORT_LOOPBACK) {
        fmsim::Port *p = find_port(sw, port);
        if (p == nullptr) return find_switch(sw) ? FM_ERR_INVALID_PORT : FM_ERR_INVALID_SWITCH;
        if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
        std::memcpy(value, &p->loopback, sizeof p->loopback);
        return FM_OK;
    }
    return get_attr(sw, port, attr, value);
}

fm_status fmCreateBitArray(fm_bitArray *bitArray, fm_int bitCount) {
    FMSIM_ENTER("fmCreateBitArray");
    if (bitArray == nullptr || bitCount < 0 || bitCount > (1 << 20)) return FM_ERR_INVALID_ARGUMENT;
    fm_int words = (bitCount + 31) / 32;
    auto *data = static_cast<fm_uint32 *>(
        std::calloc(static_cast<size_t>(words ? words : 1), sizeof(fm_uint32)));
    if (data == nullptr) return FM_ERR_NO_MEM;
    bitArray->bitCount = bitCount;
    bitArray->wordCount = words;
    bitArray->bitArrayData = data;
    return FM_OK;
}

fm_status fmDeleteBitArray(fm_bitArray *bitArray) {
    FMSIM_ENTER("fmDeleteBitArray");
    if (bitArray == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::free(bitArray->bitArrayData);
    bitArray->bitArrayData = nullptr;
    bitArray->bitCount = 0;
    bitArray->wordCount = 0;
    return FM_OK;
}

fm_status fmSetBitArrayBit(fm_bitArray *bitArray, fm_int bitNumber, fm_bool bitValue) {
    FMSIM_ENTER("fmSetBitArrayBit");
    if (!bit_ok(bitArray, bitNumber)) return FM_ERR_INVALID_INDEX;
    fm_uint32 bit = 1u << (bitNumber % 32);
    if (bitValue)
        bitArray->bitArrayData[bitNumber / 32] |= bit;
    else
        bitArray->bitArrayData[bitNumber / 32] &= ~bit;
    return FM_OK;
}

fm_status fmGetBitArrayBit(fm_bitArray *bitArray, fm_int bitNumber, fm_bool *bitValue) {
    FMSIM_ENTER("fmGetBitArrayBit");
    if (!bit_ok(bitArray, bitNumber) || bitValue == nullptr) return FM_ERR_INVALID_INDEX;
    *bitValue = (bitArray->bitArrayData[bitNumber / 32] >> (bitNumber % 32)) & 1u ? TRUE : FALSE;
    return FM_OK;
}

fm_status fmClearBitArray(fm_bitArray *bitArray) {
    FMSIM_ENTER("fmClearBitArray");
    if (bitArray == nullptr || bitArray->bitArrayData == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::memset(bitArray->bitArrayData, 0,
                static_cast<size_t>(bitArray->wordCount) * sizeof(fm_uint32));
    return FM_OK;
}

}  // extern "C"

bool fmsim_port_exists(int sw, int port) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    return find_port(sw, port) != nullptr;
}

bool fmsim_port_attr(int sw, int port, int attr, std::int32_t *value) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Port *p = find_port(sw, port);
    if (p == nullptr) return false;
    if (attr == FM_PORT_LOOPBACK) {
        *value = p->loopback;
        return true;
    }
    auto it = p->attrs.find(attr);
    if (it == p->attrs.end()) return false;
    *value = it->second;
    return true;
}

std::uint64_t fmsim_port_mask(int sw, int port) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Port *p = find_port(sw, port);
    return p ? p->mask.to_ullong() : 0;
}

void fmsim_port_state(int sw, int port, int *mode, int *submode) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Port *p = find_port(sw, port);
    if (mode) *mode = p ? p->mode : -1;
    if (submode) *submode = p ? p->submode : -1;
}
