// fmsim_events.h - the SDK event thread as tests drive it: posting the
// events a switch would report, and waiting until they are delivered.
#pragma once

#include "fm_sdk.h"

// Queue an event for the callback given to fmInitialize; it is delivered on
// the event thread, in order with the other events due at the same time.
// false when the SDK is not initialised or sw names no switch.
bool fmsim_post_port_event(int sw, fm_uint port, fm_portLinkStatus status);
bool fmsim_post_logical_port_event(int sw, const fm_eventLogicalPort &event);
// An event of any type without a payload (the callback gets a null pointer).
bool fmsim_post_event(int type, int sw);

// Waits until no event is queued and none is being delivered; false when
// that did not happen within timeout_ms. Link changes are reported a few
// milliseconds after the port state changes, so this waits for them too.
bool fmsim_wait_events_idle(int timeout_ms);
// Events delivered to the callback since the last reset.
unsigned long fmsim_events_delivered();

// The link of a port as the simulated wire sees it: 1 up, 0 down, -1 for an
// unknown switch or port. An Ethernet port's link comes up when the port is
// set up on a switch that is up, and goes down when the port is set down.
int fmsim_port_link(int sw, int port);
