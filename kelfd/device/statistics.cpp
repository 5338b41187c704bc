// statistics.cpp - port counters for the client, copied from the switch's
// counter record member by member.
#include "device/statistics.h"

#include <cstdint>
#include <cstring>

#include "fm_sdk.h"

namespace {

static_assert(sizeof(kelf_prio_stat_cnt_t) / 8 == FM_MAX_SWITCH_PRIORITIES,
              "the priority reply holds one counter per switch priority");

// Each reply counter takes the switch's member of the same name; the two
// priority counters, which the switch keeps per priority, take priority 0.
// (The reply is packed: its members are assigned, never bound to a reference.)
std::uint64_t counter(std::uint64_t v) {
    return v;
}
std::uint64_t counter(const fm_uint64 (&per_priority)[FM_MAX_SWITCH_PRIORITIES]) {
    return per_priority[0];
}

void copy_counters(const fm_portCounters &c, kelf_stat_cnt_t &out) {
#define KEL_COPY_ONE(name) out.name = counter(c.name);
    KEL_STAT_COUNTERS(KEL_COPY_ONE)
#undef KEL_COPY_ONE
}

}  // namespace

int kel_get_stat_fn(int unit, int port, kel_stat_t *stat) {
    int ret = -1;
    if (port <= kStatMaxPort) {
        // The state query refuses a port whose state the switch cannot
        // report before its counters are read; the state itself is unused.
        fm_int mode = 0, state = 0;
        fm_int info[FM_PORT_INFO_WORDS] = {};
        fm_portCounters counters;
        std::memset(&counters, 0, sizeof counters);
        if (fmGetPortState(unit, port, &mode, &state, info) == FM_OK &&
            fmGetPortCounters(unit, port, &counters) == FM_OK) {
            copy_counters(counters, stat->kel_stat_cnt.kelf);
            ret = 0;
        }
    }
    stat->ret_val = ret;
    return ret;
}

int kel_get_prio_stat_fn(int unit, int port, kel_stat_t *stat) {
    int ret = -1;
    if (port <= kStatMaxPort) {
        fm_portCounters counters;
        std::memset(&counters, 0, sizeof counters);
        if (fmGetPortCounters(unit, port, &counters) == FM_OK) {
            for (int p = 0; p < FM_MAX_SWITCH_PRIORITIES; ++p)
                stat->kel_stat_cnt.prio_kelf.cntRxPriorityPkts[p] = counters.cntRxPriorityPkts[p];
            ret = 0;
        }
    }
    stat->ret_val = ret;
    return ret;
}

int kel_reset_stat_fn(int unit, int port) {
    if (port > kStatMaxPort) return -1;
    return fmResetPortCounters(unit, port) == FM_OK ? 0 : -1;
}
