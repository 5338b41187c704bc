// daemon.h - the daemon's process-wide state and the commands about the
// daemon itself rather than one switch: the count of switches brought up,
// the link table the events keep, and the stay-up flag.
#pragma once

#include <atomic>

#include "fm_sdk.h"

// Switches brought up so far; units 0 .. kel_inserted-1 exist. Written by
// the bring-up only, never above KEL_MAX_UNITS.
extern int kel_inserted;
// 2 when the daemon runs in the foreground with event lines (-v), else 0.
extern std::atomic<int> start_flag;
// Number of switches the platform reports.
extern std::atomic<fm_int> numSw;
// Binary semaphore "seq": the event handler releases it when the last
// switch reports itself inserted, which ends the start-up's wait. Lives as
// long as the process.
extern fm_semaphore seqSem;
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

// Brings every table of the daemon back to its state before the start-up:
// rule tables and port sets, the recorded configurations, the link table
// and insertion reports, a noted stop request, the switch count and the
// stay-up flag. The
// switches themselves are the SDK's; tests reset fmsim beside this.
void reset_state();

}  // namespace kelf
