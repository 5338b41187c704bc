// mirror.cpp - mirrors: a mirror copies the frames received on its
// monitored ports to its mirror port, whose number is the mirror's number.
#include "distribution.h"
#include "fm_sdk.h"
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
    // An existing mirror is simply extended, so the result does not matter.
    fmCreateMirror(unit, port, port, FM_MIRROR_TYPE_INGRESS);
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

int kel_mir_query_list_fn(int unit, kel_lbg_query_list_t *q) {
    if (q == nullptr) return -1;
    int count = 0;
    fm_int mirror = 0, mirrorPort = 0;
    fm_mirrorType mirrorType = FM_MIRROR_TYPE_INGRESS;
    // A failing first step means the switch has no mirror: an empty list.
    if (fmGetMirrorFirst(unit, &mirror, &mirrorPort, &mirrorType) == FM_OK) {
        do {
            if (count < kReplyMax) q->kel_lbg_list.lbg_list[count] = mirror;
            ++count;
        } while (fmGetMirrorNext(unit, mirror, &mirror, &mirrorPort, &mirrorType) == FM_OK);
    }
    reply_list(q, count, 0);
    return 0;
}

int kel_mir_port_query_list_fn(int unit, int lbg, kel_lbg_query_list_t *q) {
    if (q == nullptr) return -1;
    fm_int mirror = 0, mirrorPort = 0;
    fm_mirrorType mirrorType = FM_MIRROR_TYPE_INGRESS;
    bool found = false;
    for (fm_status st = fmGetMirrorFirst(unit, &mirror, &mirrorPort, &mirrorType); st == FM_OK;
         st = fmGetMirrorNext(unit, mirror, &mirror, &mirrorPort, &mirrorType)) {
        if (fmGetMirror(unit, mirror, &mirrorPort, &mirrorType) == FM_OK && mirror == lbg) {
            found = true;
            break;
        }
    }
    fm_int port = 0;
    if (!found || fmGetMirrorPortFirst(unit, lbg, &port) != FM_OK) {
        reply_list(q, 0, -1);
        return -1;
    }
    int count = 0;
    fm_int next = 0;
    do {
        if (count < kReplyMax) q->kel_lbg_list.lbg_list[count] = port;
        ++count;
        if (fmGetMirrorPortNext(unit, lbg, port, &next) != FM_OK) break;
        port = next;
    } while (true);
    reply_list(q, count, 0);
    return 0;
}
