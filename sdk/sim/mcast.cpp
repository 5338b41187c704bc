// mcast.cpp - fmsim's multicast groups: activity, switching attributes, the
// group's logical port and its listeners.
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "fmsim.h"
#include "fmsim_mcast.h"
#include "sim.h"

namespace {

// The switch gives group n the logical port kPortBase + n, outside the range
// of ordinary ports.
constexpr fm_int kPortBase = 30000;

struct Group {
    bool active = false;
    bool l2_only = false;
    bool l3_only = false;
    // Keyed by (VLAN, port): one listener per port and VLAN.
    std::map<std::pair<fm_int, fm_int>, fm_multicastListener> listeners;
};

auto &mcast_groups = *new fmsim::ObjectTable<Group>(FM_ERR_INVALID_MULTICAST_GROUP);

// Checks a listener; *key is where it goes.
fm_status check_listener(fm_int sw, const fm_multicastListener *l, std::pair<fm_int, fm_int> *key) {
    if (l == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (l->vlan < 1 || l->vlan > FM_MAX_VLAN) return FM_ERR_INVALID_VLAN;
    if (fmsim::find_port(sw, l->port) == nullptr) return FM_ERR_INVALID_PORT;
    *key = {l->vlan, l->port};
    return FM_OK;
}

}  // namespace

bool fmsim::mcast_port(fm_int sw, fm_int port) {
    fm_status st;
    return port >= kPortBase && mcast_groups.find(sw, port - kPortBase, &st) != nullptr;
}

bool fmsim::mcast_listeners(fm_int sw, fm_int port, fm_int *group, bool *active,
                            std::vector<std::pair<int, int>> *listeners) {
    fm_status st;
    if (port < kPortBase) return false;
    const Group *g = mcast_groups.find(sw, port - kPortBase, &st);
    if (g == nullptr) return false;
    *group = port - kPortBase;
    *active = g->active;
    listeners->clear();
    for (const auto &[key, l] : g->listeners) listeners->push_back(key);
    return true;
}

extern "C" {

fm_status fmCreateMcastGroup(fm_int sw, fm_int *mcastGroup) {
    FMSIM_ENTER("fmCreateMcastGroup");
    auto *g = mcast_groups.of(sw);
    if (g == nullptr) return FM_ERR_INVALID_SWITCH;
    if (mcastGroup == nullptr) return FM_ERR_INVALID_ARGUMENT;
    fm_int n = fmsim::ObjectTable<Group>::lowest_free(*g);
    if (n >= FM_MAX_MCAST_GROUPS) return FM_ERR_TABLE_FULL;
    (*g)[n] = Group{};
    *mcastGroup = n;
    return FM_OK;
}

fm_status fmDeleteMcastGroup(fm_int sw, fm_int mcastGroup) {
    FMSIM_ENTER("fmDeleteMcastGroup");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    if (g->active) return FM_ERR_MCAST_GROUP_ACTIVE;
    mcast_groups.of(sw)->erase(mcastGroup);
    return FM_OK;
}

fm_status fmActivateMcastGroup(fm_int sw, fm_int mcastGroup) {
    FMSIM_ENTER("fmActivateMcastGroup");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    g->active = true;
    return FM_OK;
}

fm_status fmDeactivateMcastGroup(fm_int sw, fm_int mcastGroup) {
    FMSIM_ENTER("fmDeactivateMcastGroup");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    g->active = false;
    return FM_OK;
}

fm_status fmSetMcastGroupAttribute(fm_int sw, fm_int mcastGroup, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetMcastGroupAttribute");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (attr != FM_MCASTGROUP_L2_SWITCHING_ONLY && attr != FM_MCASTGROUP_L3_SWITCHING_ONLY)
        return FM_ERR_INVALID_ATTRIB;
    bool l2 = attr == FM_MCASTGROUP_L2_SWITCHING_ONLY;
    bool *flag = l2 ? &g->l2_only : &g->l3_only;
    bool *other = l2 ? &g->l3_only : &g->l2_only;
    if (g->active) return FM_ERR_MCAST_GROUP_ACTIVE;
    fm_bool b;
    std::memcpy(&b, value, sizeof b);
    // L2-only and L3-only exclude each other.
    if (b != FALSE && *other) return FM_ERR_INVALID_ARGUMENT;
    *flag = b != FALSE;
    return FM_OK;
}

fm_status fmGetMcastGroupAttribute(fm_int sw, fm_int mcastGroup, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetMcastGroupAttribute");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    fm_bool b;
    switch (attr) {
        case FM_MCASTGROUP_L2_SWITCHING_ONLY:
            b = g->l2_only ? TRUE : FALSE;
            break;
        case FM_MCASTGROUP_L3_SWITCHING_ONLY:
            b = g->l3_only ? TRUE : FALSE;
            break;
        default:
            return FM_ERR_INVALID_ATTRIB;
    }
    std::memcpy(value, &b, sizeof b);
    return FM_OK;
}

fm_status fmGetMcastGroupPort(fm_int sw, fm_int mcastGroup, fm_int *port) {
    FMSIM_ENTER("fmGetMcastGroupPort");
    fm_status st;
    if (mcast_groups.find(sw, mcastGroup, &st) == nullptr) return st;
    if (port == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *port = kPortBase + mcastGroup;
    return FM_OK;
}

fm_status fmAddMcastGroupListener(fm_int sw, fm_int mcastGroup, fm_multicastListener *listener) {
    FMSIM_ENTER("fmAddMcastGroupListener");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    std::pair<fm_int, fm_int> key;
    if ((st = check_listener(sw, listener, &key)) != FM_OK) return st;
    if (!g->listeners.emplace(key, *listener).second) return FM_ERR_ALREADY_EXISTS;
    return FM_OK;
}

fm_status fmDeleteMcastGroupListener(fm_int sw, fm_int mcastGroup, fm_multicastListener *listener) {
    FMSIM_ENTER("fmDeleteMcastGroupListener");
    fm_status st;
    Group *g = mcast_groups.find(sw, mcastGroup, &st);
    if (g == nullptr) return st;
    std::pair<fm_int, fm_int> key;
    if ((st = check_listener(sw, listener, &key)) != FM_OK) return st;
    if (g->listeners.erase(key) == 0) return FM_ERR_NOT_FOUND;
    return FM_OK;
}

}  // extern "C"

FmsimMcastGroup fmsim_mcast_group(int sw, int group) {
    std::lock_guard<std::recursive_mutex> lock(fmsim::mutex());
    FmsimMcastGroup r;
    fm_status st;
    const Group *g = mcast_groups.find(sw, group, &st);
    if (g == nullptr) return r;
    r.exists = true;
    r.active = g->active;
    r.l2_only = g->l2_only;
    r.l3_only = g->l3_only;
    r.port = kPortBase + group;
    for (const auto &[key, l] : g->listeners)
        r.listeners.push_back(
            {l.vlan, l.port, l.floodListener != FALSE, l.xcastGlort, l.remoteFlag != FALSE});
    return r;
}

std::vector<int> fmsim_mcast_list(int sw) {
    std::lock_guard<std::recursive_mutex> lock(fmsim::mutex());
    return mcast_groups.numbers(sw);
}
