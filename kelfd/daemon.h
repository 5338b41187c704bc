// daemon.h - the daemon's process-wide state and its reset: the switches
// the platform reports and those brought up, the foreground flag, the
// start-up's semaphore and the stay-up flag; and the commands about the
// daemon itself rather than one switch.
#pragma once

#include <atomic>

#include "fm_sdk.h"

// Switches brought up so far; units 0 .. kel_inserted-1 exist. Written by
// the bring-up only, never above KEL_MAX_UNITS.
extern int kel_inserted;
// True when the daemon runs in the foreground (-v): the event handler then
// prints every port and logical-port event.
extern std::atomic<bool> foreground;
// Number of switches the platform reports.
extern std::atomic<fm_int> switch_count;
// Binary semaphore "seq": the event handler releases it when the last
// switch reports itself inserted, which ends the start-up's wait. Lives as
// long as the process.
extern fm_semaphore seq_semaphore;
// TRUE (the default): stopping the daemon leaves the switches running.
// Set and read by the stay-up commands, read by the shutdown.
extern fm_bool sw_remain;

// KEL_GET_DEV_NUM: the number of switches brought up.
int kel_get_dev_num_fn();
// KEL_GET_PORT_LINK: the link state of port 1..48 of unit 0..7, else -1.
int kel_get_port_link_fn(int unit, int port);
// KEL_SET_SW_REMAIN: stores the low byte of val; 0.
int kel_set_sw_remain_fn(int val);
// KEL_GET_SW_REMAIN: the flag, widened without its sign.
int kel_get_sw_remain_fn();

namespace kelf {

// True when unit names a switch that the bring-up has brought up.
inline bool unit_inserted(int unit) {
    return unit >= 0 && unit < kel_inserted;
}

// The daemon's own state as before the start-up: no switch brought up, in
// the background, no switch count, the stay-up flag set. One of the
// module resets of reset_modules().
void reset_daemon_state();

}  // namespace kelf
