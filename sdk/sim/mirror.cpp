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

auto &mirror_groups = *new fmsim::ObjectTable<Mirror>(FM_ERR_INVALID_MIRROR);

void report(const std::pair<const fm_int, Mirror> &e, fm_int *grp, fm_int *port,
            fm_mirrorType *type) {
    *grp = e.first;
    if (port) *port = e.second.port;
    if (type) *type = e.second.type;
}

fmsim::MirrorView view(fm_int id, const Mirror &m) {
    return {id, m.port, static_cast<fm_int>(m.type), m.vlan, m.acl, &m.monitored};
}

}  // namespace

void fmsim::mirror_views(fm_int sw, std::vector<MirrorView> *out) {
    out->clear();
    if (auto *m = mirror_groups.of(sw))
        for (const auto &[id, g] : *m) out->push_back(view(id, g));
}

bool fmsim::mirror_view(fm_int sw, fm_int mirror, MirrorView *out) {
    fm_status st;
    const Mirror *g = mirror_groups.find(sw, mirror, &st);
    if (g == nullptr) return false;
    *out = view(mirror, *g);
    return true;
}

extern "C" {

fm_status fmCreateMirror(fm_int sw, fm_int grpId, fm_int mirrorPort, fm_mirrorType mirrorType) {
    FMSIM_ENTER("fmCreateMirror");
    auto *m = mirror_groups.of(sw);
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
    if (mirror_groups.find(sw, grpId, &st) == nullptr) return st;
    mirror_groups.of(sw)->erase(grpId);
    return FM_OK;
}

fm_status fmAddMirrorPort(fm_int sw, fm_int grpId, fm_int port) {
    FMSIM_ENTER("fmAddMirrorPort");
    fm_status st;
    Mirror *g = mirror_groups.find(sw, grpId, &st);
    if (g == nullptr) return st;
    // A mirror port that monitored itself would copy its own copies.
    if (fmsim::find_port(sw, port) == nullptr || port == g->port) return FM_ERR_INVALID_PORT;
    g->monitored.insert(port);
    return FM_OK;
}

fm_status fmDeleteMirrorPort(fm_int sw, fm_int grpId, fm_int port) {
    FMSIM_ENTER("fmDeleteMirrorPort");
    fm_status st;
    Mirror *g = mirror_groups.find(sw, grpId, &st);
    if (g == nullptr) return st;
    if (fmsim::find_port(sw, port) == nullptr) return FM_ERR_INVALID_PORT;
    if (g->monitored.erase(port) == 0) return FM_ERR_NOT_FOUND;
    return FM_OK;
}

fm_status fmSetMirrorAttribute(fm_int sw, fm_int grpId, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetMirrorAttribute");
    fm_status st;
    Mirror *g = mirror_groups.find(sw, grpId, &st);
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
    Mirror *g = mirror_groups.find(sw, grpId, &st);
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
    auto *m = mirror_groups.of(sw);
    if (m == nullptr) return FM_ERR_INVALID_SWITCH;
    if (firstGrpId == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (m->empty()) return FM_ERR_NO_MORE;
    report(*m->begin(), firstGrpId, mirrorPort, mirrorType);
    return FM_OK;
}

fm_status fmGetMirrorNext(fm_int sw, fm_int currentGrpId, fm_int *nextGrpId, fm_int *mirrorPort,
                          fm_mirrorType *mirrorType) {
    FMSIM_ENTER("fmGetMirrorNext");
    auto *m = mirror_groups.of(sw);
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
    Mirror *g = mirror_groups.find(sw, grpId, &st);
    if (g == nullptr) return st;
    if (mirrorPort == nullptr || mirrorType == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *mirrorPort = g->port;
    *mirrorType = g->type;
    return FM_OK;
}

fm_status fmGetMirrorPortFirst(fm_int sw, fm_int grpId, fm_int *firstPort) {
    FMSIM_ENTER("fmGetMirrorPortFirst");
    fm_status st;
    Mirror *g = mirror_groups.find(sw, grpId, &st);
    if (g == nullptr) return st;
    if (firstPort == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (g->monitored.empty()) return FM_ERR_NO_MORE;
    *firstPort = *g->monitored.begin();
    return FM_OK;
}

fm_status fmGetMirrorPortNext(fm_int sw, fm_int grpId, fm_int currentPort, fm_int *nextPort) {
    FMSIM_ENTER("fmGetMirrorPortNext");
    fm_status st;
    Mirror *g = mirror_groups.find(sw, grpId, &st);
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
    const Mirror *m = mirror_groups.find(sw, mirror, &st);
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
    return mirror_groups.numbers(sw);
}
