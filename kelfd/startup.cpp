// startup.cpp - the SDK start and the bring-up of every switch into the
// base state.
#include "startup.h"

#include <kelfd/kel_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "daemon.h"
#include "events.h"
#include "messages.h"
#include "ports/ports.h"
#include "sdk_util.h"
#include "signals.h"

namespace kelf {

namespace {

std::string step_failed(const char *step, fm_status st) {
    return std::string(step) + ": " + fmErrorMsg(st);
}

}  // namespace

SdkStart start_sdk(std::chrono::milliseconds wait) {
    SdkStart r;
    fm_status st = fmOSInitialize();
    if (st != FM_OK) {
        r.failure = step_failed("fmOSInitialize", st);
        return r;
    }
    st = fmCreateSemaphore("seq", FM_SEM_BINARY, &seq_semaphore, 0);
    if (st != FM_OK) {
        r.failure = step_failed("fmCreateSemaphore", st);
        return r;
    }
    st = fmInitialize(eventHandler);
    if (st != FM_OK) {
        cleanup(st, "fmInitialize");
        r.failure = step_failed("fmInitialize", st);
        return r;
    }
    fm_int n = 0;
    st = fmPlatformGetNumSwitches(&n);
    if (st != FM_OK) {
        r.failure = step_failed("fmPlatformGetNumSwitches", st);
        return r;
    }
    if (n < 1) {
        r.failure = "the platform has no switch";
        return r;
    }
    switch_count.store(n);
    r.ok = true;
    // The last switch may have reported itself before switch_count was known.
    if (switch_reported(n - 1)) fmReleaseSemaphore(&seq_semaphore);
    // Waited for in short slices, so that a stop asked for meanwhile is seen.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!stop_requested()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        auto us = std::min<std::int64_t>(left.count(), 50000);
        fm_timestamp t{static_cast<fm_uint64>(us / 1000000), static_cast<fm_uint64>(us % 1000000)};
        st = fmCaptureSemaphore(&seq_semaphore, &t);
        if (st == FM_OK) {
            r.all_reported = true;
            break;
        }
        if (st != FM_ERR_SEM_TIMEOUT) {
            // The wait is only a courtesy to late switches: go on without it.
            std::fprintf(stderr, "kelfd: %s\n", step_failed("fmCaptureSemaphore", st).c_str());
            break;
        }
    }
    return r;
}

namespace {

constexpr fm_int kFrameSize = 15360;
constexpr fm_int kTriggerGroup = 10001;
constexpr fm_int kTriggerRule = 10;

// One port of the cardinal list: up, member of every VLAN, jumbo frames,
// pause.
void bring_up_port(fm_int sw, fm_int cpi) {
    fm_int port = 0;
    fm_status mapped = fmMapCardinalPort(sw, cpi, &port, nullptr);
    if (mapped != FM_OK) {
        // No port to set up: going on would set up port 0, the CPU port.
        cleanup(mapped, "fmMapCardinalPort");
        return;
    }
    cleanup(fmSetPortState(sw, port, FM_PORT_STATE_UP, 0), "fmSetPortState");
    cleanup(fmAddVlanPort(sw, 1, port, FALSE), "fmAddVlanPort");
    cleanup(fmSetVlanPortState(sw, 1, port, FM_STP_STATE_FORWARDING), "fmSetVlanPortState");
    fm_uint32 vlanNoU32 = 1;
    fmSetPortAttribute(sw, port, FM_PORT_DEF_VLAN, &vlanNoU32);
    for (int v = 2; v <= FM_MAX_VLAN; ++v) {
        auto vlan = static_cast<fm_uint16>(v);
        if (fmAddVlanPort(sw, vlan, port, TRUE) != FM_OK)
            cleanup(fmAddVlanPort(sw, vlan, port, FALSE), "fmAddVlanPort");
        cleanup(fmSetVlanPortState(sw, vlan, port, FM_STP_STATE_FORWARDING), "fmSetVlanPortState");
        fm_bool reflect = TRUE;
        fmSetVlanAttribute(sw, vlan, FM_VLAN_REFLECT, &reflect);
    }
    fm_int suppression = 0;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_LOOPBACK_SUPPRESSION, &suppression),
            "fmSetPortAttribute FM_PORT_LOOPBACK_SUPPRESSION");
    fm_uint32 parser = 2;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_PARSER, &parser),
            "fmSetPortAttribute FM_PORT_PARSER");

    fm_int frame = 0;
    fm_status err = fmGetPortAttribute(sw, port, FM_PORT_MAX_FRAME_SIZE, &frame);
    if (err != FM_OK) {
        std::printf(msg::kPortPrefix, port);
        cleanup(err, "fmGetPortAttribute FM_PORT_MAX_FRAME_SIZE");
    }
    if (err != FM_OK || frame != kFrameSize) {
        frame = kFrameSize;
        err = fmSetPortAttribute(sw, port, FM_PORT_MAX_FRAME_SIZE, &frame);
        if (err != FM_OK) {
            std::printf(msg::kPortPrefix, port);
            cleanup(err, "fmSetPortAttribute FM_PORT_MAX_FRAME_SIZE");
        }
    }
    fm_bool pause = TRUE;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_RX_PAUSE, &pause),
            "fmSetPortAttribute FM_PORT_RX_PAUSE");
}

// Frames to these reserved addresses (BPDU, slow protocols, 0x03, LLDP) are
// dropped.
void drop_reserved_macs(fm_int sw) {
    struct Entry {
        fm_int index;
        const char *text;
    };
    static constexpr Entry kEntries[] = {
        {0x0, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x0"},
        {0x2, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x2"},
        {0x3, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x3"},
        {0xE, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0xe"},
    };
    for (const Entry &e : kEntries) {
        fm_reservedMacCfg h{};
        h.index = e.index;
        h.action = FM_RES_MAC_ACTION_DROP;
        h.useTrapPri = FALSE;
        cleanup(fmSetSwitchAttribute(sw, FM_SWITCH_RESERVED_MAC_CFG, &h), e.text);
    }
}

// The one trigger: frames whose handler action is 1 (bit 2 of the mask),
// from any port, are forwarded. The first failure skips the rest.
void create_trigger(fm_int sw) {
    fm_status err = fmCreateTrigger(sw, kTriggerGroup, kTriggerRule);
    if (err != FM_OK) return cleanup(err, "fmCreateTrigger");
    fm_triggerCondition condPtr{};
    fm_triggerAction actPtr{};
    if ((err = fmInitTriggerCondition(sw, &condPtr)) != FM_OK)
        return cleanup(err, "fmInitTriggerCondition");
    if ((err = fmInitTriggerAction(sw, &actPtr)) != FM_OK)
        return cleanup(err, "fmInitTriggerAction");
    condPtr.cfg.HAMask = 2;
    condPtr.cfg.rxPortset = FM_PORT_SET_ALL;
    if ((err = fmSetTriggerCondition(sw, kTriggerGroup, kTriggerRule, &condPtr)) != FM_OK)
        return cleanup(err, "fmSetTriggerCondition");
    actPtr.cfg.forwardingAction = FM_TRIGGER_FORWARDING_ACTION_FORWARD;
    cleanup(fmSetTriggerAction(sw, kTriggerGroup, kTriggerRule, &actPtr), "fmSetTriggerAction");
}

}  // namespace

bool bring_up_switch(fm_int sw, std::string *failure) {
    fm_status st = fmSetSwitchState(sw, TRUE);
    if (st != FM_OK) {
        if (failure != nullptr) *failure = step_failed("fmSetSwitchState", st);
        return false;
    }
    fm_switchInfo swInfo{};
    fmGetSwitchInfo(sw, &swInfo);
    for (int v = 1; v <= FM_MAX_VLAN; ++v)
        cleanup(fmCreateVlan(sw, static_cast<fm_uint16>(v)), "fmCreateVlan");
    for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) {
        // A stop during the long port set-up ends it after a whole port. The
        // switch still counts, so that the shutdown takes it down again.
        if (stop_requested()) {
            if (kel_inserted < KEL_MAX_UNITS) ++kel_inserted;
            return true;
        }
        bring_up_port(sw, cpi);
    }

    fm_bool on = TRUE;
    fmSetSwitchQOS(sw, FM_AUTO_PAUSE_MODE, 0, &on);
    fm_bool off = FALSE;
    cleanup(fmSetSwitchAttribute(sw, FM_TRAP_IEEE_GARP, &off), msg::kGarpTrap);
    cleanup(fmSetSwitchAttribute(sw, FM_TRAP_IEEE_BPDU, &off), msg::kBpduTrap);
    drop_reserved_macs(sw);

    // The per-switch tables hold KEL_MAX_UNITS switches.
    if (kel_inserted < KEL_MAX_UNITS) ++kel_inserted;
    kel_set_cfg_fn(sw, 5);  // every port isolated from the others
    fmPlatformGpioSetDirection(sw, kGpioBypass, FM_PLAT_GPIO_DIR_OUTPUT, 0);
    create_trigger(sw);
    return true;
}

BringUp bring_up_switches() {
    BringUp r;
    r.wanted = std::min<int>(switch_count.load(), KEL_MAX_UNITS);
    for (fm_int sw = 0; sw < r.wanted; ++sw) {
        // Units are numbered without gaps: the first switch that cannot be
        // set up ends the bring-up, and the ones after it are missing too.
        if (stop_requested() || !bring_up_switch(sw, &r.failure)) break;
        ++r.up;
    }
    return r;
}

void report_pcie_ports() {
    for (fm_int sw = 0; sw < kel_inserted; ++sw) {
        fm_switchInfo swInfo{};
        fm_int ifindex = 0;
        fmGetSwitchInfo(sw, &swInfo);
        if (fmPlatformIfindexSwitchGet(sw, &ifindex) != FM_OK || swInfo.numCardPorts <= 1) continue;
        for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) {
            fm_bool pcie = FALSE;
            if (fmIsPciePort(sw, cpi, &pcie) == FM_OK && ifindex != 0 && pcie)
                send_link_prop({ifindex, 0, 1, cpi, 0, 0, 0, 0});
        }
    }
}

}  // namespace kelf
