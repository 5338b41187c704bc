// mirror.cpp - mirrors: a mirror copies the frames received on its
// monitored ports to its mirror port, whose number is the mirror's number.
#include "distribution.h"
#include "fm_sdk.h"
#include "labels.h"
#include "messages.h"
#include "sdk_util.h"

namespace {

constexpr int kReplyMax = KEL_REPLY_LIST_MAX;

void reply_list(kel_lbg_query_list_t *q, int count, int ret) {
    q->kel_lbg_list.lbg_num = count;
    q->ret = ret;
}

}  // namespace

int kel_mir_add_fn(int unit, int port, kel_lbg_list_t *kel_lbg_list) {
    if (kel_lbg_list == nullptr) return -1;
    const int n = kel_lbg_list->lbg_num;
    // The list holds 32 ports; a longer count is refused before the mirror
    // is created rather than read past the list.
    if (n > KEL_LBG_LIST_MAX) return -1;
    // An existing mirror is simply extended; a mirror that neither exists
    // nor could be made is a failure, never an empty success.
    fm_status made = fmCreateMirror(unit, port, port, FM_MIRROR_TYPE_INGRESS);
    if (made != FM_OK) {
        fm_int mirrorPort = 0;
        fm_mirrorType mirrorType = FM_MIRROR_TYPE_INGRESS;
        if (fmGetMirror(unit, port, &mirrorPort, &mirrorType) != FM_OK) {
            cleanup(made, "fmCreateMirror");
            return -1;
        }
    }
    for (int i = 0; i < n; ++i) {
        fm_status st = fmAddMirrorPort(unit, port, kel_lbg_list->lbg_list[i]);
        if (st != FM_OK) {
            // The ports added so far stay: the client sees where it stopped.
            cleanup(st, kelf::msg::kGetAddMirrorPort);
            return -1;
        }
    }
    return 0;
}

int kel_mir_remove_fn(int unit, int lbg) {
    fm_status st = fmDeleteMirror(unit, lbg);
    if (st != FM_OK) {
        cleanup(st, "fmDeleteMirror");
        return -1;
    }
    kelf::labels::gone(unit, kelf::labels::Kind::Mirror, lbg);
    return 0;
}

int kel_mir_port_add_fn(int unit, int lbg, int port) {
    fm_status st = fmAddMirrorPort(unit, lbg, port);
    if (st != FM_OK) {
        cleanup(st, "fmAddMirrorPort");
        return -1;
    }
    return 0;
}

int kel_mir_port_remove_fn(int unit, int lbg, int port) {
    fm_status st = fmDeleteMirrorPort(unit, lbg, port);
    if (st != FM_OK) {
        cleanup(st, "fmDeleteMirrorPort");
        return -1;
    }
    return 0;
}

int kel_mir_vlan_add_fn(int unit, int lbg, int vlan) {
    fm_int value = vlan >= 1 ? vlan : -1;
    fm_status st = fmSetMirrorAttribute(unit, lbg, FM_MIRROR_VLAN, &value);
    if (st != FM_OK) {
        cleanup(st, "fmSetMirrorAttribute FM_MIRROR_VLAN");
        return -1;
    }
    return 0;
}

namespace {

// Walks end on the switch's "no more" only; any other failure of a walk
// step is a failed query, never a shorter list. Its count is -1 (a count the
// switch could not give), so that a client tells it from a mirror without
// ports, whose failed query counts 0.
constexpr int kWalkFailed = -1;

int walk_failed(kel_lbg_query_list_t *q, fm_status st, const char *what) {
    cleanup(st, what);
    reply_list(q, kWalkFailed, -1);
    return -1;
}

}  // namespace

int kel_mir_query_list_fn(int unit, kel_lbg_query_list_t *q) {
    if (q == nullptr) return -1;
    int count = 0;
    fm_int mirror = 0, mirrorPort = 0;
    fm_mirrorType mirrorType = FM_MIRROR_TYPE_INGRESS;
    fm_status st = fmGetMirrorFirst(unit, &mirror, &mirrorPort, &mirrorType);
    if (st != FM_OK && st != FM_ERR_NO_MORE) return walk_failed(q, st, "fmGetMirrorFirst");
    while (st == FM_OK) {
        if (count < kReplyMax) q->kel_lbg_list.lbg_list[count] = mirror;
        ++count;
        st = fmGetMirrorNext(unit, mirror, &mirror, &mirrorPort, &mirrorType);
        if (st != FM_OK && st != FM_ERR_NO_MORE) return walk_failed(q, st, "fmGetMirrorNext");
    }
    reply_list(q, count, 0);
    return 0;
}

int kel_mir_port_query_list_fn(int unit, int lbg, kel_lbg_query_list_t *q) {
    if (q == nullptr) return -1;
    fm_int mirror = 0, mirrorPort = 0;
    fm_mirrorType mirrorType = FM_MIRROR_TYPE_INGRESS;
    bool found = false;
    fm_status st = fmGetMirrorFirst(unit, &mirror, &mirrorPort, &mirrorType);
    if (st != FM_OK && st != FM_ERR_NO_MORE) return walk_failed(q, st, "fmGetMirrorFirst");
    while (st == FM_OK) {
        if (mirror == lbg) {
            st = fmGetMirror(unit, mirror, &mirrorPort, &mirrorType);
            if (st != FM_OK) return walk_failed(q, st, "fmGetMirror");
            found = true;
            break;
        }
        st = fmGetMirrorNext(unit, mirror, &mirror, &mirrorPort, &mirrorType);
        if (st != FM_OK && st != FM_ERR_NO_MORE) return walk_failed(q, st, "fmGetMirrorNext");
    }
    fm_int port = 0;
    // No such mirror, or a mirror that monitors no port: the query fails
    // silently, as it always has.
    if (!found) {
        reply_list(q, 0, -1);
        return -1;
    }
    st = fmGetMirrorPortFirst(unit, lbg, &port);
    if (st == FM_ERR_NO_MORE) {
        reply_list(q, 0, -1);
        return -1;
    }
    if (st != FM_OK) return walk_failed(q, st, "fmGetMirrorPortFirst");
    int count = 0;
    for (;;) {
        if (count < kReplyMax) q->kel_lbg_list.lbg_list[count] = port;
        ++count;
        fm_int next = 0;
        st = fmGetMirrorPortNext(unit, lbg, port, &next);
        if (st == FM_ERR_NO_MORE) break;
        if (st != FM_OK) return walk_failed(q, st, "fmGetMirrorPortNext");
        port = next;
    }
    reply_list(q, count, 0);
    return 0;
}
