// startup.cpp - the SDK start and the bring-up of every switch into the
// base state.
#include "startup.h"

#include <kelfd/kel_lib.h>

#include <algorithm>
#include <cstdio>

#include "daemon.h"
#include "events.h"
#include "messages.h"
#include "ports/ports.h"
#include "sdk_util.h"
#include "signals.h"

namespace kelf {

void start_sdk(std::chrono::milliseconds wait) {
    fmOSInitialize();
    fmCreateSemaphore("seq", FM_SEM_BINARY, &seqSem, 0);
    cleanup(fmInitialize(eventHandler), "fmInitialize");
    fm_int n = 0;
    fmPlatformGetNumSwitches(&n);
    numSw.store(n);
    // The last switch may have reported itself before numSw was known.
    if (switch_reported(n - 1)) fmReleaseSemaphore(&seqSem);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    fm_timestamp t{static_cast<fm_uint64>(us / 1000000), static_cast<fm_uint64>(us % 1000000)};
    fmCaptureSemaphore(&seqSem, &t);
}

namespace {

constexpr fm_int kFrameSize = 15360;
constexpr fm_int kTriggerGroup = 10001;
constexpr fm_int kTriggerRule = 10;

// One port of the cardinal list: up, member of every VLAN, jumbo frames,
// pause.
void bring_up_port(fm_int sw, fm_int cpi) {
    fm_int port = 0;
    cleanup(fmMapCardinalPort(sw, cpi, &port, nullptr), "fmMapCardinalPort");
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

bool bring_up_switch(fm_int sw) {
    if (fmSetSwitchState(sw, TRUE) != FM_OK) return false;
    fm_switchInfo swInfo{};
    fmGetSwitchInfo(sw, &swInfo);
    for (int v = 1; v <= FM_MAX_VLAN; ++v)
        cleanup(fmCreateVlan(sw, static_cast<fm_uint16>(v)), "fmCreateVlan");
    for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) bring_up_port(sw, cpi);

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

int bring_up_switches() {
    int count = std::min<int>(numSw.load(), KEL_MAX_UNITS);
    int done = 0;
    for (fm_int sw = 0; sw < count; ++sw) {
        // A stop asked for during a long start is carried out after this switch.
        if (stop_requested() || !bring_up_switch(sw)) break;
        ++done;
    }
    return done;
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
