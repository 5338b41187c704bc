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

// What fmInitialize starts beside the event thread, once per process: the
// I/O servers above the model (TAP ports, the control socket) register
// here, so the model never names them. Hooks run in ascending rank, then
// in registration order; the first non-OK status makes fmInitialize fail
// with it (the hook prints why on stderr). The servers register from a
// static initialiser of their own translation unit: fmsim is a shared
// library, so every part of it is loaded, and registers, whichever
// operations the program calls. Registration is for before main only.
using StartHook = fm_status (*)();
inline constexpr int kStartTaps = 10;
inline constexpr int kStartControl = 20;
bool add_start_hook(int rank, StartHook hook);

}  // namespace fmsim
