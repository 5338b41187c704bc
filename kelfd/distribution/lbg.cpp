// lbg.cpp - load-balancing groups: created in mapped mode over a port list,
// listed and deleted.
#include <array>
#include <cstring>

#include "distribution.h"
#include "fm_sdk.h"
#include "labels.h"
#include "messages.h"
#include "sdk_util.h"

namespace {

constexpr int kBins = 256;
constexpr fm_int kListMax = KEL_REPLY_LIST_MAX;

}  // namespace

int kel_lbg_add_fn(int unit, kel_lbg_list_t *kel_lbg_list) {
    if (kel_lbg_list == nullptr) return -1;
    const int n = kel_lbg_list->lbg_num;
    // The map is filled from the list only: a count outside 1..32 would
    // read past it, so it is refused before anything is created.
    if (n < 1 || n > KEL_LBG_LIST_MAX) return -1;

    fm_LBGParams params{};
    fmMemset_s(&params, sizeof params, 0, sizeof params);
    params.numberOfBins = kBins;
    params.mode = FM_LBG_MODE_MAPPED;
    fm_int number = 0;

    // The switch copies the map when it is written, so the daemon's copy
    // only has to live through this call.
    std::array<fm_int, kBins> map;
    fm_status st = fmCreateLBGExt(unit, &number, &params);
    if (st != FM_OK) {
        cleanup(st, kelf::msg::kGetAddLbgPort);
        return -1;
    }
    for (int b = 0; b < kBins; ++b) map[static_cast<size_t>(b)] = kel_lbg_list->lbg_list[b % n];

    fm_LBGDistributionMapRange range{};
    fmMemset_s(&range, sizeof range, 0, sizeof range);
    range.firstBin = 0;
    range.numberOfBins = kBins;
    range.ports = map.data();
    st = fmSetLBGAttribute(unit, number, FM_LBG_DISTRIBUTION_MAP_RANGE, &range);
    if (st != FM_OK) {
        cleanup(st, kelf::msg::kSetLbgAttribute);
        fmDeleteLBG(unit, number);
        return -1;
    }
    fm_uint32 state = FM_LBG_STATE_ACTIVE;
    st = fmSetLBGAttribute(unit, number, FM_LBG_STATE, &state);
    if (st != FM_OK) {
        cleanup(st, kelf::msg::kSetLbgState);
        fmDeleteLBG(unit, number);
        return -1;
    }
    return number;
}

int kel_lbg_remove_fn(int unit, int lbg) {
    fm_status st = fmDeleteLBG(unit, lbg);
    if (st != FM_OK) {
        cleanup(st, "fmDeleteLBG");
        return -1;
    }
    kelf::labels::gone(unit, kelf::labels::Kind::Lbg, lbg);
    return 0;
}

int kel_lbg_query_list_fn(int unit, kel_lbg_query_list_t *q) {
    if (q == nullptr) return -1;
    fm_int num = 0;
    fm_int list[kListMax];
    fm_status st = fmGetLBGList(unit, &num, list, kListMax);
    q->ret = st;
    if (st != FM_OK) {
        cleanup(st, "fmGetLBGList");
        return -1;
    }
    // The switch promises at most kListMax; the copy never trusts it further.
    if (num < 0) num = 0;
    if (num > kListMax) num = kListMax;
    q->kel_lbg_list.lbg_num = num;
    std::memcpy(q->kel_lbg_list.lbg_list, list, sizeof(fm_int) * static_cast<size_t>(num));
    return 0;
}
