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

auto &lbgs = *new fmsim::ObjectTable<Lbg>(FM_ERR_INVALID_LBG);

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

bool fmsim::lbg_view(fm_int sw, fm_int lbg, LbgView *out) {
    fm_status st;
    const Lbg *g = lbgs.find(sw, lbg, &st);
    if (g == nullptr) return false;
    out->active = g->state == FM_LBG_STATE_ACTIVE;
    out->mapped = g->mode == FM_LBG_MODE_MAPPED;
    out->bins = &g->bins;
    return true;
}

extern "C" {

fm_status fmCreateLBGExt(fm_int sw, fm_int *lbgNumber, fm_LBGParams *params) {
    FMSIM_ENTER("fmCreateLBGExt");
    auto *g = lbgs.of(sw);
    if (g == nullptr) return FM_ERR_INVALID_SWITCH;
    if (lbgNumber == nullptr || params == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (params->mode < FM_LBG_MODE_HASH || params->mode > FM_LBG_MODE_MAPPED)
        return FM_ERR_INVALID_ARGUMENT;
    if (params->mode == FM_LBG_MODE_MAPPED &&
        (params->numberOfBins < 1 || params->numberOfBins > FM_LBG_MAX_BINS))
        return FM_ERR_INVALID_ARGUMENT;
    fm_int n = fmsim::ObjectTable<Lbg>::lowest_free(*g);
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
    if (lbgs.find(sw, lbgNumber, &st) == nullptr) return st;
    lbgs.of(sw)->erase(lbgNumber);
    return FM_OK;
}

fm_status fmSetLBGAttribute(fm_int sw, fm_int lbgNumber, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetLBGAttribute");
    fm_status st;
    Lbg *g = lbgs.find(sw, lbgNumber, &st);
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
    Lbg *g = lbgs.find(sw, lbgNumber, &st);
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
    auto *g = lbgs.of(sw);
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
    const Lbg *l = lbgs.find(sw, lbg, &st);
    if (l == nullptr) return r;
    r.exists = true;
    r.mode = l->mode;
    r.state = static_cast<int>(l->state);
    r.bins.assign(l->bins.begin(), l->bins.end());
    return r;
}

std::vector<int> fmsim_lbg_list(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    return lbgs.numbers(sw);
}
