// daemon.h - process-wide state of the daemon's life.
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

namespace kelf {
// True when unit names a switch that the bring-up has brought up.
inline bool unit_inserted(int unit) { return unit >= 0 && unit < kel_inserted; }
}  // namespace kelf
