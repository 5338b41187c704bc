// fmsim_hash.h - inspection of fmsim's hash profiles, for tests.
#pragma once

#include "fm_sdk.h"

// The stored setting of a profile; false for an unknown switch or profile.
bool fmsim_l2_hash(int sw, int profile, fm_L2HashKey *out);
bool fmsim_l3_hash(int sw, int profile, fm_L3HashConfig *out);
