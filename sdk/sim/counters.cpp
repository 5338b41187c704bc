// counters.cpp - fmsim's port counters: one fm_portCounters per port.
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "fmsim.h"
#include "fmsim_counters.h"
#include "sim.h"

namespace {

using PortCounters = std::array<fm_portCounters, fmsim::kMaxPortIndex>;

std::vector<PortCounters> &counters() {
    static auto *c = new std::vector<PortCounters>;
    return *c;
}

void reset_counters() {
    // In place: a reset between runs allocates nothing.
    if (counters().size() != FM_MAX_NUM_SWITCHES) counters().assign(FM_MAX_NUM_SWITCHES, {});
    for (auto &sw : counters())
        for (auto &c : sw) std::memset(&c, 0, sizeof c);
}

const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

struct Init {
    Init() {
        reset_counters();
        fmsim::on_reset(reset_counters);
    }
} init;

fm_portCounters *find_counters(fm_int sw, fm_int port, fm_status *st) {
    if (fmsim::find_switch(sw) == nullptr) {
        *st = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    int idx = fmsim::port_index(sw, port);
    if (idx < 0 || idx >= fmsim::kMaxPortIndex) {
        *st = FM_ERR_INVALID_PORT;
        return nullptr;
    }
    return &counters()[static_cast<size_t>(sw)][static_cast<size_t>(idx)];
}

}  // namespace

fm_portCounters *fmsim::port_counters(fm_int sw, int index) {
    if (sw < 0 || sw >= FM_MAX_NUM_SWITCHES || index < 0 || index >= fmsim::kMaxPortIndex)
        return nullptr;
    return &counters()[static_cast<size_t>(sw)][static_cast<size_t>(index)];
}

extern "C" {

fm_status fmGetPortCounters(fm_int sw, fm_int port, fm_portCounters *out) {
    FMSIM_ENTER("fmGetPortCounters");
    fm_status st = FM_FAIL;  // set by find_counters; gcc -O3 cannot tell
    fm_portCounters *c = find_counters(sw, port, &st);
    if (c == nullptr) return st;
    if (out == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *out = *c;
    out->cntVersion = FM_PORT_COUNTERS_VERSION;
    out->cntTimestamp =
        static_cast<fm_uint64>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
    return FM_OK;
}

fm_status fmResetPortCounters(fm_int sw, fm_int port) {
    FMSIM_ENTER("fmResetPortCounters");
    fm_status st = FM_FAIL;  // set by find_counters; gcc -O3 cannot tell
    fm_portCounters *c = find_counters(sw, port, &st);
    if (c == nullptr) return st;
    std::memset(c, 0, sizeof *c);
    return FM_OK;
}

}  // extern "C"

bool fmsim_set_port_counters(int sw, int port, const fm_portCounters &in) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    fm_portCounters *c = find_counters(sw, port, &st);
    if (c == nullptr) return false;
    *c = in;
    c->cntVersion = 0;
    c->cntTimestamp = 0;
    return true;
}

bool fmsim_get_port_counters(int sw, int port, fm_portCounters *out) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    fm_portCounters *c = find_counters(sw, port, &st);
    if (c == nullptr || out == nullptr) return false;
    *out = *c;
    return true;
}
