// mcast.cpp - multicast groups: created active for L3 switching only,
// gathering listeners until removed.
#include <algorithm>
#include <map>
#include <vector>

#include "distribution.h"
#include "fm_sdk.h"
#include "labels.h"
#include "sdk_util.h"

namespace {

// The groups made here and the listeners added to them: the switch has no
// call that lists them, and read-backs report them.
std::map<int, std::vector<kel_x_listener_t>> groups[KEL_MAX_UNITS];

std::map<int, std::vector<kel_x_listener_t>> *groups_of(int unit) {
    return unit >= 0 && unit < KEL_MAX_UNITS ? &groups[unit] : nullptr;
}

// A group whose set-up failed is deleted again: the client never learns
// its number, so no command could ever name it.
int undo_create(int unit, fm_int group, fm_status st, const char *what) {
    cleanup(st, what);
    cleanup(fmDeleteMcastGroup(unit, group), "fmDeleteMcastGroup");
    return -1;
}

}  // namespace

int kel_mcg_create_fn(int unit) {
    fm_int group = 0;
    fm_status st = fmCreateMcastGroup(unit, &group);
    if (st != FM_OK) {
        cleanup(st, "fmCreateMcastGroup");
        return -1;
    }
    fm_bool value = FALSE;
    st = fmSetMcastGroupAttribute(unit, group, FM_MCASTGROUP_L2_SWITCHING_ONLY, &value);
    if (st != FM_OK)
        return undo_create(unit, group, st,
                           "fmSetMcastGroupAttribute FM_MCASTGROUP_L2_SWITCHING_ONLY");
    value = TRUE;
    st = fmSetMcastGroupAttribute(unit, group, FM_MCASTGROUP_L3_SWITCHING_ONLY, &value);
    if (st != FM_OK)
        return undo_create(unit, group, st,
                           "fmSetMcastGroupAttribute FM_MCASTGROUP_L3_SWITCHING_ONLY");
    // Activation is the last step: a group it failed on was never active.
    st = fmActivateMcastGroup(unit, group);
    if (st != FM_OK) return undo_create(unit, group, st, "fmActivateMcastGroup");
    if (auto *g = groups_of(unit)) (*g)[group].clear();
    return group;
}

int kel_mcg_get_port_fn(int unit, int mcg) {
    fm_int port = 0;
    fm_status st = fmGetMcastGroupPort(unit, mcg, &port);
    if (st != FM_OK) {
        cleanup(st, "fmGetMcastGroupPort");
        return -1;
    }
    return port;
}

int kel_mcg_add_listener_fn(int unit, int mcg, int port, int vlan) {
    fm_multicastListener listener{};
    listener.vlan = static_cast<fm_uint16>(vlan & 0xFFFF);
    listener.port = port;
    fm_status st = fmAddMcastGroupListener(unit, mcg, &listener);
    if (st != FM_OK) {
        cleanup(st, "fmAddMcastGroupListener");
        return -1;
    }
    if (auto *g = groups_of(unit)) {
        auto it = g->find(mcg);
        if (it != g->end()) {
            const kel_x_listener_t l{port, listener.vlan};
            auto same = [&](const kel_x_listener_t &x) {
                return x.port == l.port && x.vlan == l.vlan;
            };
            if (std::none_of(it->second.begin(), it->second.end(), same)) it->second.push_back(l);
        }
    }
    return 0;
}

int kel_mcg_remove_fn(int unit, int mcg) {
    fm_status st = fmDeactivateMcastGroup(unit, mcg);
    if (st != FM_OK) {
        cleanup(st, "fmDeactivateMcastGroup");
        return -1;
    }
    st = fmDeleteMcastGroup(unit, mcg);
    if (st != FM_OK) {
        cleanup(st, "fmDeleteMcastGroup");
        return -1;
    }
    if (auto *g = groups_of(unit)) g->erase(mcg);
    kelf::labels::gone(unit, kelf::labels::Kind::Mcast, mcg);
    return 0;
}

namespace kelf::distribution {

const std::map<int, std::vector<kel_x_listener_t>> *mcast_groups(int unit) {
    return groups_of(unit);
}

void reset() {
    for (auto &g : groups) g.clear();
}

}  // namespace kelf::distribution
