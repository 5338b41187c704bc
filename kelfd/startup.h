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

#include "fm_sdk.h"

namespace kelf {

// GPIO line of the bypass relay: low while the daemon runs the switch.
inline constexpr fm_int kGpioBypass = 4;

// Starts the SDK with eventHandler and waits at most `wait` until the last
// switch of the platform reports itself inserted; sets numSw.
void start_sdk(std::chrono::milliseconds wait = std::chrono::seconds(3));

// Brings switch sw into the base state and counts it in kel_inserted.
// false when the switch could not be set up (fmSetSwitchState failed).
bool bring_up_switch(fm_int sw);
// Brings up switches 0 .. numSw-1 (at most 8) in turn, until one cannot be
// set up or a stop is asked for. Returns how many were brought up.
int bring_up_switches();

// Tells the driver that every PCI Express port of every switch has link.
void report_pcie_ports();

}  // namespace kelf
