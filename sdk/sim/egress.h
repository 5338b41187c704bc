// egress.h - where frames go once they leave the simulated switch.
//
// fmsim_inject reports what left each port to its caller; beyond that, the
// frames reach every sink attached here: a TAP interface writes them to the
// kernel, a capture of the control socket streams them to fmsimctl. A frame
// that loops back stays inside the switch and reaches no sink.
//
// Sinks run on the injecting thread, after fmsim's lock is released, so a
// slow sink never holds up the SDK. A sink must not add or remove sinks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "fm_sdk.h"
#include "fmsim_forward.h"

namespace fmsim {

using EgressSink = std::function<void(int sw, const FmsimEmit &frame)>;

// Attaches a sink for every frame leaving any port of any switch; returns
// its handle (never 0).
int add_egress_sink(EgressSink sink);
// Detaches a sink; once it returns, the sink is running nowhere and is
// never called again. Unknown handles are ignored.
void remove_egress_sink(int handle);
// Hands every frame of an outcome to the sinks; costs one atomic load when
// none is attached.
void deliver_egress(int sw, const FmsimOutcome &out);

}  // namespace fmsim
