// daemon_modules.h - the daemon's modules and the one order in which they
// are set to their start.
//
// Each module owns its state and its reset; this is the one place that
// lists them. main calls it before anything else, tests and fuzz inputs
// before each run. The switches themselves are the SDK's: tests reset fmsim
// beside this. Each reset costs what was changed since the last (a rule
// group walks only its taken slots), so fuzz inputs can afford one each.
#pragma once

namespace kelf {

// In order: the rule room (tables, port sets), port configuration, switch
// events (link table, insertion reports), a noted stop request, and the
// daemon's own counts and flags.
void reset_modules();

}  // namespace kelf
