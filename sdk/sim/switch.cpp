// switch.cpp - fmsim's switches as a whole: state, removal, network
// interface index, QoS, and the trap and reserved-address attributes.
#include <array>
#include <cstring>
#include <vector>

#include "events.h"
#include "fmsim.h"
#include "fmsim_switch.h"
#include "sim.h"

namespace {

struct Settings {
    fm_bool trap_bpdu = TRUE;
    fm_bool trap_garp = TRUE;
    fm_bool auto_pause = FALSE;
    fm_int ifindex = 0;
    std::array<fm_reservedMacCfg, FM_RES_MAC_INDEX_MAX + 1> res_mac{};
};

std::vector<Settings> &settings() {
    static auto *s = new std::vector<Settings>;
    return *s;
}

// Power-on: the IEEE range 01-80-C2-00-00-00 .. 0F goes to the CPU, the
// rest is switched; each switch has its own interface.
// Built once; a reset copies it over the settings in place.
const std::vector<Settings> &power_on_settings() {
    static const auto *fresh = [] {
        auto *v = new std::vector<Settings>(FM_MAX_NUM_SWITCHES);
        for (size_t sw = 0; sw < v->size(); ++sw) {
            Settings &s = (*v)[sw];
            s.ifindex = static_cast<fm_int>(10 + sw);
            for (int i = 0; i <= FM_RES_MAC_INDEX_MAX; ++i)
                s.res_mac[static_cast<size_t>(i)] = {
                    i, i <= 0x0F ? FM_RES_MAC_ACTION_TRAP : FM_RES_MAC_ACTION_SWITCH, FALSE};
        }
        return v;
    }();
    return *fresh;
}

void reset_settings() {
    settings() = power_on_settings();
}

// The switch's settings; find_switch has vouched for sw.
Settings &of(fm_int sw) {
    return settings()[static_cast<size_t>(sw)];
}

fm_status set_bool(fm_bool *field, const void *value) {
    fm_bool b;
    std::memcpy(&b, value, sizeof b);
    if (b != TRUE && b != FALSE) return FM_ERR_INVALID_VALUE;
    *field = b;
    return FM_OK;
}

fm_status get_bool(fm_bool field, void *value) {
    std::memcpy(value, &field, sizeof field);
    return FM_OK;
}

struct Init {
    Init() {
        reset_settings();
        fmsim::on_reset(reset_settings);
        fmsim::register_switch_attr(
            FM_TRAP_IEEE_BPDU, [](fm_int sw, void *v) { return set_bool(&of(sw).trap_bpdu, v); },
            [](fm_int sw, void *v) { return get_bool(of(sw).trap_bpdu, v); });
        fmsim::register_switch_attr(
            FM_TRAP_IEEE_GARP, [](fm_int sw, void *v) { return set_bool(&of(sw).trap_garp, v); },
            [](fm_int sw, void *v) { return get_bool(of(sw).trap_garp, v); });
        fmsim::register_switch_attr(
            FM_SWITCH_RESERVED_MAC_CFG,
            [](fm_int sw, void *v) {
                fm_reservedMacCfg c;
                std::memcpy(&c, v, sizeof c);
                if (c.index < 0 || c.index > FM_RES_MAC_INDEX_MAX) return FM_ERR_INVALID_INDEX;
                fm_int action = fmsim::raw_enum(c.action);
                if (action < FM_RES_MAC_ACTION_SWITCH || action > FM_RES_MAC_ACTION_LOG)
                    return FM_ERR_INVALID_VALUE;
                c.useTrapPri = c.useTrapPri ? TRUE : FALSE;
                of(sw).res_mac[static_cast<size_t>(c.index)] = c;
                return FM_OK;
            },
            [](fm_int sw, void *v) {
                // The caller names the entry by its index.
                fm_reservedMacCfg c;
                std::memcpy(&c, v, sizeof c);
                if (c.index < 0 || c.index > FM_RES_MAC_INDEX_MAX) return FM_ERR_INVALID_INDEX;
                std::memcpy(v, &of(sw).res_mac[static_cast<size_t>(c.index)], sizeof c);
                return FM_OK;
            });
    }
} init;

}  // namespace

extern "C" {

fm_status fmSetSwitchState(fm_int sw, fm_bool state) {
    FMSIM_ENTER("fmSetSwitchState");
    fmsim::Switch *s = fmsim::find_switch(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    if (!fmsim::sdk_initialized()) return FM_ERR_UNINITIALIZED;
    s->up = state != FALSE;
    for (const fmsim::Port &p : s->ports) fmsim::port_mode_changed(sw, p);
    return FM_OK;
}

fm_status fmHandleSwitchRemoved(fm_int sw, fm_int flags) {
    FMSIM_ENTER("fmHandleSwitchRemoved");
    (void)flags;
    fmsim::Switch *s = fmsim::find_switch(sw);
    if (s == nullptr) return FM_ERR_INVALID_SWITCH;
    // Gone from the platform: every later operation on it is refused.
    s->up = false;
    s->present = false;
    fmsim::drop_switch_events(sw);
    return FM_OK;
}

fm_status fmPlatformIfindexSwitchGet(fm_int sw, fm_int *ifindex) {
    FMSIM_ENTER("fmPlatformIfindexSwitchGet");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (ifindex == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *ifindex = of(sw).ifindex;
    return FM_OK;
}

fm_status fmSetSwitchQOS(fm_int sw, fm_int attr, fm_int index, void *value) {
    FMSIM_ENTER("fmSetSwitchQOS");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (attr != FM_AUTO_PAUSE_MODE) return FM_ERR_INVALID_ATTRIB;
    if (index != 0) return FM_ERR_INVALID_INDEX;  // a switch-wide setting
    return set_bool(&of(sw).auto_pause, value);
}

fm_status fmGetSwitchQOS(fm_int sw, fm_int attr, fm_int index, void *value) {
    FMSIM_ENTER("fmGetSwitchQOS");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (attr != FM_AUTO_PAUSE_MODE) return FM_ERR_INVALID_ATTRIB;
    if (index != 0) return FM_ERR_INVALID_INDEX;
    return get_bool(of(sw).auto_pause, value);
}

}  // extern "C"

bool fmsim_switch_up(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Switch *s = fmsim::find_switch(sw);
    return s != nullptr && s->up;
}

bool fmsim_switch_present(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    return fmsim::find_switch(sw) != nullptr;
}

void fmsim_set_switch_ifindex(int sw, int ifindex) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (sw >= 0 && sw < FM_MAX_NUM_SWITCHES) settings()[static_cast<size_t>(sw)].ifindex = ifindex;
}
