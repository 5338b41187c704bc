// diag.cpp - fmsim's port state report and the diagnostic dumps.
#include <cstdio>

#include "fmsim.h"
#include "sim.h"

namespace {

const char *mode_name(fm_int mode) {
    switch (mode) {
        case FM_PORT_STATE_UP:
            return "UP";
        case FM_PORT_STATE_ADMIN_DOWN:
            return "ADMIN_DOWN";
        case FM_PORT_STATE_ADMIN_PWRDOWN:
            return "ADMIN_PWRDOWN";
        case FM_PORT_STATE_BIST:
            return "BIST";
        case FM_PORT_STATE_DOWN:
            return "DOWN";
        default:
            return "?";
    }
}

const char *attr_name(fm_int attr) {
    switch (attr) {
        case FM_PORT_DEF_VLAN:
            return "FM_PORT_DEF_VLAN";
        case FM_PORT_MAX_FRAME_SIZE:
            return "FM_PORT_MAX_FRAME_SIZE";
        case FM_PORT_RX_PAUSE:
            return "FM_PORT_RX_PAUSE";
        case FM_PORT_ISL_TAG_FORMAT:
            return "FM_PORT_ISL_TAG_FORMAT";
        case FM_PORT_SPEED:
            return "FM_PORT_SPEED";
        case FM_PORT_TXVPRI:
            return "FM_PORT_TXVPRI";
        case FM_PORT_PARSER:
            return "FM_PORT_PARSER";
        case FM_PORT_UPDATE_TTL:
            return "FM_PORT_UPDATE_TTL";
        case FM_PORT_LOOPBACK_SUPPRESSION:
            return "FM_PORT_LOOPBACK_SUPPRESSION";
        case FM_PORT_ETHERNET_INTERFACE_MODE:
            return "FM_PORT_ETHERNET_INTERFACE_MODE";
        case FM_PORT_ROUTED_FRAME_UPDATE_FIELDS:
            return "FM_PORT_ROUTED_FRAME_UPDATE_FIELDS";
        default:
            return nullptr;
    }
}

// What the port reports as its state: a port that is up has its link (the
// simulated cable is always plugged), a self-testing port stays in BIST, and
// every other mode leaves it down.
fm_int port_state(const fmsim::Port &p) {
    if (p.mode == FM_PORT_STATE_UP || p.mode == FM_PORT_STATE_BIST) return p.mode;
    return FM_PORT_STATE_DOWN;
}

fm_int attr_or_zero(const fmsim::Port &p, fm_int attr) {
    auto it = p.attrs.find(attr);
    return it == p.attrs.end() ? 0 : it->second;
}

fm_status find(fm_int sw, fm_int port, fmsim::Port **p) {
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    *p = fmsim::find_port(sw, port);
    return *p ? FM_OK : FM_ERR_INVALID_PORT;
}

}  // namespace

extern "C" {

fm_status fmGetPortState(fm_int sw, fm_int port, fm_int *mode, fm_int *state, fm_int *info) {
    FMSIM_ENTER("fmGetPortState");
    fmsim::Port *p = nullptr;
    if (fm_status st = find(sw, port, &p); st != FM_OK) return st;
    if (mode == nullptr || state == nullptr || info == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *mode = p->mode;
    *state = port_state(*p);
    info[FM_PORT_INFO_SUBMODE] = p->submode;
    info[FM_PORT_INFO_LOOPBACK] = p->loopback;
    info[FM_PORT_INFO_ETH_MODE] = attr_or_zero(*p, FM_PORT_ETHERNET_INTERFACE_MODE);
    info[FM_PORT_INFO_SPEED] = attr_or_zero(*p, FM_PORT_SPEED);
    return FM_OK;
}

fm_status fmDbgDumpScheduler(fm_int sw) {
    FMSIM_ENTER("fmDbgDumpScheduler");
    fmsim::Switch *s = fmsim::find_switch(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    // Only ports that are up or self-testing take part in egress scheduling.
    long long total = 0;
    int active = 0;
    for (const fmsim::Port &p : s->ports) {
        if (port_state(p) == FM_PORT_STATE_DOWN) continue;
        ++active;
        total += attr_or_zero(p, FM_PORT_SPEED);
    }
    std::printf("Scheduler of switch %d: %d active ports, %lld Mb/s\n", sw, active, total);
    for (const fmsim::Port &p : s->ports) {
        if (port_state(p) == FM_PORT_STATE_DOWN) continue;
        std::printf("  port %5d  %-4s  %6d Mb/s\n", p.logical, mode_name(p.mode),
                    attr_or_zero(p, FM_PORT_SPEED));
    }
    std::fflush(stdout);
    return FM_OK;
}

fm_status fmDbgDumpPortAttributes(fm_int sw, fm_int port) {
    FMSIM_ENTER("fmDbgDumpPortAttributes");
    fmsim::Port *p = nullptr;
    if (fm_status st = find(sw, port, &p); st != FM_OK) return st;
    std::printf("Attributes of port %d on switch %d (mode %s, submode %d)\n", port, sw,
                mode_name(p->mode), p->submode);
    for (const auto &[attr, value] : p->attrs) {
        const char *name = attr_name(attr);
        if (name != nullptr)
            std::printf("  %-36s %d\n", name, value);
        else
            std::printf("  attribute %-26d %d\n", attr, value);
    }
    std::printf("  %-36s %d\n", "FM_PORT_LOOPBACK", p->loopback);
    std::printf("  %-36s 0x%016llx\n", "FM_PORT_MASK_WIDE",
                static_cast<unsigned long long>(p->mask.to_ullong()));
    std::fflush(stdout);
    return FM_OK;
}

}  // extern "C"
