// lbg.cpp - fmsim's load-balancing groups: mode, state and, in mapped mode,
// the port of every bin.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "fmsim.h"
#include "fmsim_lbg.h"
#include "sim.h"

namespace {

struct Lbg {
    fm_LBGMode mode = FM_LBG_MODE_HASH;
    fm_uint32 state = FM_LBG_STATE_INACTIVE;
    std::vector<fm_int> bins;
};

// Per switch, the groups by number.
std::vector<std::map<fm_int, Lbg>> &groups() {
    static auto *g = new std::vector<std::map<fm_int, Lbg>>;
    return *g;
}

void reset_groups() {
    groups().assign(FM_MAX_NUM_SWITCHES, {});
}

struct Init {
    Init() {
        reset_groups();
        fmsim::on_reset(reset_groups);
    }
} init;

std::map<fm_int, Lbg> *switch_groups(fm_int sw) {
    if (fmsim::find_switch(sw) == nullptr) return nullptr;
    return &groups()[static_cast<size_t>(sw)];
}

Lbg *find_lbg(fm_int sw, fm_int lbg, fm_status *st) {
    auto *g = switch_groups(sw);
    if (g == nullptr) {
        *st = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    auto it = g->find(lbg);
    if (it == g->end()) {
        *st = FM_ERR_INVALID_LBG;
        return nullptr;
    }
    return &it->second;
}

// The range's bins, checked against the group; nullptr-safe.
fm_status check_range(const Lbg &g, const fm_LBGDistributionMapRange &r) {
    if (g.mode != FM_LBG_MODE_MAPPED) return FM_ERR_UNSUPPORTED;
    if (r.ports == nullptr || r.firstBin < 0 || r.numberOfBins < 1) return FM_ERR_INVALID_ARGUMENT;
    if (static_cast<std::int64_t>(r.firstBin) + r.numberOfBins >
        static_cast<std::int64_t>(g.bins.size()))
        return FM_ERR_INVALID_ARGUMENT;
    return FM_OK;
}

}  // namespace

extern "C" {

fm_status fmCreateLBGExt(fm_int sw, fm_int *lbgNumber, fm_LBGParams *params) {
    FMSIM_ENTER("fmCreateLBGExt");
    auto *g = switch_groups(sw);
    if (g == nullptr) return FM_ERR_INVALID_SWITCH;
    if (lbgNumber == nullptr || params == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (params->mode < FM_LBG_MODE_HASH || params->mode > FM_LBG_MODE_MAPPED)
        return FM_ERR_INVALID_ARGUMENT;
    if (params->mode == FM_LBG_MODE_MAPPED &&
        (params->numberOfBins < 1 || params->numberOfBins > FM_LBG_MAX_BINS))
        return FM_ERR_INVALID_ARGUMENT;
    // The lowest free number; the table is small, so a walk is cheap.
    fm_int n = 0;
    for (const auto &e : *g) {
        if (e.first != n) break;
        ++n;
    }
    if (n >= FM_MAX_LBGS) return FM_ERR_TABLE_FULL;
    Lbg &l = (*g)[n];
    l.mode = params->mode;
    if (l.mode == FM_LBG_MODE_MAPPED)
        l.bins.assign(static_cast<size_t>(params->numberOfBins), FM_LBG_NO_PORT);
    *lbgNumber = n;
    return FM_OK;
}

fm_status fmDeleteLBG(fm_int sw, fm_int lbgNumber) {
    FMSIM_ENTER("fmDeleteLBG");
    fm_status st;
    if (find_lbg(sw, lbgNumber, &st) == nullptr) return st;
    groups()[static_cast<size_t>(sw)].erase(lbgNumber);
    return FM_OK;
}

fm_status fmSetLBGAttribute(fm_int sw, fm_int lbgNumber, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetLBGAttribute");
    fm_status st;
    Lbg *g = find_lbg(sw, lbgNumber, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    switch (attr) {
        case FM_LBG_STATE: {
            fm_uint32 s;
            std::memcpy(&s, value, sizeof s);
            if (s != FM_LBG_STATE_ACTIVE && s != FM_LBG_STATE_INACTIVE) return FM_ERR_INVALID_VALUE;
            g->state = s;
            return FM_OK;
        }
        case FM_LBG_DISTRIBUTION_MAP_RANGE: {
            fm_LBGDistributionMapRange r;
            std::memcpy(&r, value, sizeof r);
            if ((st = check_range(*g, r)) != FM_OK) return st;
            // Check every port before changing a bin: a refused map leaves the old one.
            for (fm_int i = 0; i < r.numberOfBins; ++i)
                if (r.ports[i] != FM_LBG_NO_PORT && fmsim::find_port(sw, r.ports[i]) == nullptr)
                    return FM_ERR_INVALID_PORT;
            // The group keeps its own copy; the caller may free its array.
            std::memcpy(&g->bins[static_cast<size_t>(r.firstBin)], r.ports,
                        sizeof(fm_int) * static_cast<size_t>(r.numberOfBins));
            return FM_OK;
        }
        case FM_LBG_GROUP_MODE:
            return FM_ERR_UNSUPPORTED;
        default:
            return FM_ERR_INVALID_ATTRIB;
    }
}

fm_status fmGetLBGAttribute(fm_int sw, fm_int lbgNumber, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetLBGAttribute");
    fm_status st;
    Lbg *g = find_lbg(sw, lbgNumber, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    switch (attr) {
        case FM_LBG_STATE:
            std::memcpy(value, &g->state, sizeof g->state);
            return FM_OK;
        case FM_LBG_GROUP_MODE:
            std::memcpy(value, &g->mode, sizeof g->mode);
            return FM_OK;
        case FM_LBG_DISTRIBUTION_MAP_RANGE: {
            fm_LBGDistributionMapRange r;
            std::memcpy(&r, value, sizeof r);
            if ((st = check_range(*g, r)) != FM_OK) return st;
            std::memcpy(r.ports, &g->bins[static_cast<size_t>(r.firstBin)],
                        sizeof(fm_int) * static_cast<size_t>(r.numberOfBins));
            return FM_OK;
        }
        default:
            return FM_ERR_INVALID_ATTRIB;
    }
}

fm_status fmGetLBGList(fm_int sw, fm_int *numLbgs, fm_int *lbgList, fm_int maxLbgs) {
    FMSIM_ENTER("fmGetLBGList");
    auto *g = switch_groups(sw);
    if (g == nullptr) return FM_ERR_INVALID_SWITCH;
    if (numLbgs == nullptr || maxLbgs < 0 || (lbgList == nullptr && maxLbgs > 0))
        return FM_ERR_INVALID_ARGUMENT;
    fm_int n = 0;
    for (auto it = g->begin(); it != g->end() && n < maxLbgs; ++it) lbgList[n++] = it->first;
    *numLbgs = n;
    return FM_OK;
}

}  // extern "C"

FmsimLbg fmsim_lbg(int sw, int lbg) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    FmsimLbg r;
    fm_status st;
    const Lbg *l = find_lbg(sw, lbg, &st);
    if (l == nullptr) return r;
    r.exists = true;
    r.mode = l->mode;
    r.state = static_cast<int>(l->state);
    r.bins.assign(l->bins.begin(), l->bins.end());
    return r;
}

std::vector<int> fmsim_lbg_list(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    std::vector<int> r;
    if (auto *m = switch_groups(sw))
        for (const auto &e : *m) r.push_back(e.first);
    return r;
}
