// ports.h - port configuration: the numbered operating configurations that
// lay out which port may forward to which, and the per-port forwarding masks.
#pragma once

#include <kelfd/kel_lib.h>

#include "fm_sdk.h"

// The configuration last applied with success to each unit; 0 until the
// bring-up applies one. Written only by kelf::ports::apply_configuration.
extern int cur_cfg[KEL_MAX_UNITS];

// Command 4 and the bring-up: checks cfg is 1 to 6, then applies it.
// 0 on success, -1 on any refusal.
int kel_set_cfg_fn(int unit, int cfg);
// Command 8: the unit's configuration, or -1 for a unit not brought up.
int kel_get_cfg_fn(int unit);

// Mask set-ups of configurations 1 (ports paired), 5 (every port isolated)
// and 6 (full mesh). Every write is made; 0, or -1 after the line of the
// first switch call that failed.
int setupPortBypass(fm_int sw);
int setupPortMon2(fm_int sw);
int setupPortInit(fm_int sw);

// Command 16: every port 1..47 selected in mask->ingress gets the mask
// mask->egress. 0, or -1 when a selected port may not have got it.
int kel_set_port_mask_fn(int unit, kel_mask_t *mask);
// Command 17: adds the mask of the lowest port selected in mask->ingress to
// mask->egress. 0, or -1 when the mask could not be read whole.
int kel_get_port_mask_fn(int unit, kel_mask_t *mask);

namespace kelf::ports {
// Checks the unit, applies cfg and records it when the switch took every
// mask write. 0 or -1 (the line of the first failed call said).
int apply_configuration(int unit, int cfg);
// Forgets every recorded configuration (the room's reset).
void reset();
}  // namespace kelf::ports
