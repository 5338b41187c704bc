// events.h - fmsim's SDK start and event thread, as the other parts of the
// simulation see them. Internal to fmsim.
#pragma once

#include "fm_sdk.h"

namespace fmsim {

// fmOSInitialize has run since the last reset.
bool os_initialized();
// fmInitialize has run since the last reset.
bool sdk_initialized();
// Forgets the events still queued for a switch that left the platform.
void drop_switch_events(fm_int sw);

}  // namespace fmsim
