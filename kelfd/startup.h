// startup.h - the SDK start and the bring-up of every switch.
//
// Contract: start_sdk runs once, on the main thread, after the daemon has
// detached (the SDK starts its event thread here, and a thread does not
// survive the fork of detaching). The bring-up leaves each switch in the
// base state: every port of the cardinal list up and a member of VLANs
// 1..4095, jumbo frames, receive pause, reserved MACs dropped, one trigger,
// operating configuration 5; kel_inserted counts the switches brought up.
#pragma once

#include <chrono>
#include <string>

#include "fm_sdk.h"

namespace kelf {

// GPIO line of the bypass relay: low while the daemon runs the switch.
inline constexpr fm_int kGpioBypass = 4;

struct SdkStart {
    bool ok = false;            // the SDK runs and reports at least one switch
    bool all_reported = false;  // the last switch reported itself in time
    std::string failure;        // the step that failed and why, when !ok
};

// Starts the SDK with eventHandler and waits at most `wait` until the last
// switch of the platform reports itself inserted; sets switch_count. Every step's
// result is checked; a stop asked for during the wait ends it early.
SdkStart start_sdk(std::chrono::milliseconds wait = std::chrono::seconds(3));

// Brings switch sw into the base state and counts it in kel_inserted.
// false when the switch could not be set up (fmSetSwitchState failed; the
// step and the SDK's message go to *failure). A stop asked for meanwhile
// ends the set-up after a whole port: the switch counts, half set up.
bool bring_up_switch(fm_int sw, std::string *failure = nullptr);

struct BringUp {
    int wanted = 0;       // switches of the platform the daemon serves (at most 8)
    int up = 0;           // switches 0 .. up-1 are up
    std::string failure;  // why switch `up` did not come up, when up < wanted
};
// Brings up switches 0 .. switch_count-1 (at most 8) in turn, until one cannot be
// set up or a stop is asked for.
BringUp bring_up_switches();

// Tells the driver that every PCI Express port of every switch has link.
void report_pcie_ports();

}  // namespace kelf
