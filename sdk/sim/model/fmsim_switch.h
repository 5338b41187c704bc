// fmsim_switch.h - inspection and set-up of fmsim's switches as a whole, for
// tests. Trap, reserved-address and QoS settings read back through the SDK.
#pragma once

// fmSetSwitchState brought the switch up (and it was not removed since).
bool fmsim_switch_up(int sw);
// The switch is on the platform: true until fmHandleSwitchRemoved.
bool fmsim_switch_present(int sw);
// The network interface index that fmPlatformIfindexSwitchGet reports
// (0 stands for a switch without a network interface).
void fmsim_set_switch_ifindex(int sw, int ifindex);
