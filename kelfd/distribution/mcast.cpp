// mcast.cpp - multicast groups: created active for L3 switching only,
// gathering listeners until removed.
#include "distribution.h"
#include "fm_sdk.h"
#include "sdk_util.h"

int kel_mcg_create_fn(int unit) {
    fm_int group = 0;
    fm_status st = fmCreateMcastGroup(unit, &group);
    if (st != FM_OK) {
        cleanup(st, "fmCreateMcastGroup");
        return -1;
    }
    fm_bool value = FALSE;
    st = fmSetMcastGroupAttribute(unit, group, FM_MCASTGROUP_L2_SWITCHING_ONLY, &value);
    if (st != FM_OK) {
        cleanup(st, "fmSetMcastGroupAttribute FM_MCASTGROUP_L2_SWITCHING_ONLY");
        return -1;
    }
    value = TRUE;
    st = fmSetMcastGroupAttribute(unit, group, FM_MCASTGROUP_L3_SWITCHING_ONLY, &value);
    if (st != FM_OK) {
        cleanup(st, "fmSetMcastGroupAttribute FM_MCASTGROUP_L3_SWITCHING_ONLY");
        return -1;
    }
    st = fmActivateMcastGroup(unit, group);
    if (st != FM_OK) {
        cleanup(st, "fmActivateMcastGroup");
        return -1;
    }
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
    return 0;
}
