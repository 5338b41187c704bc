// mirror.cpp - fmsim's mirror groups: mirror port, type, monitored ports,
// the VLAN of the copies and whether rules may use the group.
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fmsim.h"
#include "fmsim_mirror.h"
#include "sim.h"

namespace {

struct Mirror {
    fm_int port = 0;
    fm_mirrorType type = FM_MIRROR_TYPE_INGRESS;
    fm_int vlan = -1;
    bool acl = false;
    std::set<fm_int> monitored;  // ordered, so walks are stable
};

// Per switch, the groups by number; ordered for the First/Next walk.
std::vector<std::map<fm_int, Mirror>> &mirrors() {
    static auto *m = new std::vector<std::map<fm_int, Mirror>>;
    return *m;
}

void reset_mirrors() {
    mirrors().assign(FM_MAX_NUM_SWITCHES, {});
}

struct Init {
    Init() {
        reset_mirrors();
        fmsim::on_reset(reset_mirrors);
    }
} init;

// The switch's groups, or nullptr for an unknown switch.
std::map<fm_int, Mirror> *switch_mirrors(fm_int sw) {
    if (fmsim::find_switch(sw) == nullptr) return nullptr;
    return &mirrors()[static_cast<size_t>(sw)];
}

// The group, or nullptr; *st says why not.
Mirror *find_mirror(fm_int sw, fm_int grp, fm_status *st) {
    auto *m = switch_mirrors(sw);
    if (m == nullptr) {
        *st = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    auto it = m->find(grp);
    if (it == m->end()) {
        *st = FM_ERR_INVALID_MIRROR;
        return nullptr;
    }
    return &it->second;
}

void report(const std::pair<const fm_int, Mirror> &e, fm_int *grp, fm_int *port,
            fm_mirrorType *type) {
    *grp = e.first;
    if (port) *port = e.second.port;
    if (type) *type = e.second.type;
}

}  // namespace

extern "C" {

fm_status fmCreateMirror(fm_int sw, fm_int grpId, fm_int mirrorPort, fm_mirrorType mirrorType) {
    FMSIM_ENTER("fmCreateMirror");
    auto *m = switch_mirrors(sw);
    if (m == nullptr) return FM_ERR_INVALID_SWITCH;
    if (grpId < 0 || grpId >= FM_MAX_MIRRORS) return FM_ERR_INVALID_MIRROR;
    if (fmsim::find_port(sw, mirrorPort) == nullptr) return FM_ERR_INVALID_PORT;
    if (mirrorType < FM_MIRROR_TYPE_INGRESS || mirrorType > FM_MIRROR_TYPE_REDIRECT)
        return FM_ERR_INVALID_ARGUMENT;
    if (m->count(grpId)) return FM_ERR_ALREADY_EXISTS;
    Mirror &g = (*m)[grpId];
    g.port = mirrorPort;
    g.type = mirrorType;
    return FM_OK;
}

fm_status fmDeleteMirror(fm_int sw, fm_int grpId) {
    FMSIM_ENTER("fmDeleteMirror");
    fm_status st;
    if (find_mirror(sw, grpId, &st) == nullptr) return st;
    mirrors()[static_cast<size_t>(sw)].erase(grpId);
    return FM_OK;
}

fm_status fmAddMirrorPort(fm_int sw, fm_int grpId, fm_int port) {
    FMSIM_ENTER("fmAddMirrorPort");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    // A mirror port that monitored itself would copy its own copies.
    if (fmsim::find_port(sw, port) == nullptr || port == g->port) return FM_ERR_INVALID_PORT;
    g->monitored.insert(port);
    return FM_OK;
}

fm_status fmDeleteMirrorPort(fm_int sw, fm_int grpId, fm_int port) {
    FMSIM_ENTER("fmDeleteMirrorPort");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (fmsim::find_port(sw, port) == nullptr) return FM_ERR_INVALID_PORT;
    if (g->monitored.erase(port) == 0) return FM_ERR_NOT_FOUND;
    return FM_OK;
}

fm_status fmSetMirrorAttribute(fm_int sw, fm_int grpId, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetMirrorAttribute");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    switch (attr) {
        case FM_MIRROR_VLAN: {
            fm_int v;
            std::memcpy(&v, value, sizeof v);
            if (v != -1 && (v < 1 || v > FM_MAX_VLAN)) return FM_ERR_INVALID_VLAN;
            g->vlan = v;
            return FM_OK;
        }
        case FM_MIRROR_ACL: {
            fm_bool b;
            std::memcpy(&b, value, sizeof b);
            g->acl = b != FALSE;
            return FM_OK;
        }
        default:
            return FM_ERR_INVALID_ATTRIB;
    }
}

fm_status fmGetMirrorAttribute(fm_int sw, fm_int grpId, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetMirrorAttribute");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    switch (attr) {
        case FM_MIRROR_VLAN:
            std::memcpy(value, &g->vlan, sizeof g->vlan);
            return FM_OK;
        case FM_MIRROR_ACL: {
            fm_bool b = g->acl ? TRUE : FALSE;
            std::memcpy(value, &b, sizeof b);
            return FM_OK;
        }
        default:
            return FM_ERR_INVALID_ATTRIB;
    }
}

fm_status fmGetMirrorFirst(fm_int sw, fm_int *firstGrpId, fm_int *mirrorPort,
                           fm_mirrorType *mirrorType) {
    FMSIM_ENTER("fmGetMirrorFirst");
    auto *m = switch_mirrors(sw);
    if (m == nullptr) return FM_ERR_INVALID_SWITCH;
    if (firstGrpId == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (m->empty()) return FM_ERR_NO_MORE;
    report(*m->begin(), firstGrpId, mirrorPort, mirrorType);
    return FM_OK;
}

fm_status fmGetMirrorNext(fm_int sw, fm_int currentGrpId, fm_int *nextGrpId, fm_int *mirrorPort,
                          fm_mirrorType *mirrorType) {
    FMSIM_ENTER("fmGetMirrorNext");
    auto *m = switch_mirrors(sw);
    if (m == nullptr) return FM_ERR_INVALID_SWITCH;
    if (nextGrpId == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto it = m->upper_bound(currentGrpId);
    if (it == m->end()) return FM_ERR_NO_MORE;
    report(*it, nextGrpId, mirrorPort, mirrorType);
    return FM_OK;
}

fm_status fmGetMirror(fm_int sw, fm_int grpId, fm_int *mirrorPort, fm_mirrorType *mirrorType) {
    FMSIM_ENTER("fmGetMirror");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (mirrorPort == nullptr || mirrorType == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *mirrorPort = g->port;
    *mirrorType = g->type;
    return FM_OK;
}

fm_status fmGetMirrorPortFirst(fm_int sw, fm_int grpId, fm_int *firstPort) {
    FMSIM_ENTER("fmGetMirrorPortFirst");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (firstPort == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (g->monitored.empty()) return FM_ERR_NO_MORE;
    *firstPort = *g->monitored.begin();
    return FM_OK;
}

fm_status fmGetMirrorPortNext(fm_int sw, fm_int grpId, fm_int currentPort, fm_int *nextPort) {
    FMSIM_ENTER("fmGetMirrorPortNext");
    fm_status st;
    Mirror *g = find_mirror(sw, grpId, &st);
    if (g == nullptr) return st;
    if (nextPort == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto it = g->monitored.upper_bound(currentPort);
    if (it == g->monitored.end()) return FM_ERR_NO_MORE;
    *nextPort = *it;
    return FM_OK;
}

}  // extern "C"

FmsimMirror fmsim_mirror(int sw, int mirror) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    FmsimMirror r;
    fm_status st;
    const Mirror *m = find_mirror(sw, mirror, &st);
    if (m == nullptr) return r;
    r.exists = true;
    r.mirror_port = m->port;
    r.type = m->type;
    r.vlan = m->vlan;
    r.acl = m->acl;
    r.ports.assign(m->monitored.begin(), m->monitored.end());
    return r;
}

std::vector<int> fmsim_mirror_list(int sw) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    std::vector<int> r;
    if (auto *m = switch_mirrors(sw))
        for (const auto &e : *m) r.push_back(e.first);
    return r;
}
