// statistics.h - port counters: the full set, the per-priority receive
// counters, and their reset.
#pragma once

#include <kelfd/kel_lib.h>

// Ports above this are refused before the SDK sees them.
inline constexpr int kStatMaxPort = 49999;

// Fill stat (its ret_val included) and return ret_val: 0, or -1 with the
// counter area left as the request carried it.
int kel_get_stat_fn(int unit, int port, kel_stat_t *stat);
int kel_get_prio_stat_fn(int unit, int port, kel_stat_t *stat);
// 0, or -1 whatever the SDK's reason.
int kel_reset_stat_fn(int unit, int port);
