// fmsim_counters.h - the port counters fmsim keeps, for tests: the switch
// counts no traffic of its own, so tests put the values there.
#pragma once

#include "fm_sdk.h"

// Replaces a port's counters (cntVersion and cntTimestamp are the switch's
// own and are not taken); false for an unknown switch or port.
bool fmsim_set_port_counters(int sw, int port, const fm_portCounters &counters);
// A port's counters as stored; false for an unknown switch or port.
bool fmsim_get_port_counters(int sw, int port, fm_portCounters *counters);
