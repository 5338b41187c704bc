// switch_setup.h - a simulated switch that forwards, as fuzz targets and
// benchmarks start from: switch 0 up, some ports up and forwarding in VLANs,
// rules in ACL 0 in force. Return values are not checked: the callers'
// own results show a set-up that went wrong.
#pragma once

#include <initializer_list>

#include "fm_sdk.h"
#include "fmsim.h"

namespace fmsimtest {

struct VlanDef {
    fm_uint16 vlan;
    bool tagged;
};

// A one-switch platform whose switch 0 is up, with ports first..last up and
// forwarding members of each VLAN given.
inline void switch_up(int first, int last, std::initializer_list<VlanDef> vlans = {{1, false}}) {
    fmsim_set_switches(1);
    fmOSInitialize();
    fmInitialize(nullptr);
    fmSetSwitchState(0, TRUE);
    for (const VlanDef &v : vlans) {
        fmCreateVlan(0, v.vlan);
        for (int p = first; p <= last; ++p) {
            fmAddVlanPort(0, v.vlan, p, v.tagged ? TRUE : FALSE);
            fmSetVlanPortState(0, v.vlan, p, FM_STP_STATE_FORWARDING);
        }
    }
    for (int p = first; p <= last; ++p) fmSetPortState(0, p, FM_PORT_STATE_UP, 0);
}

// ACL 0 with every scenario, as kelfd creates its groups.
inline void create_acl0() {
    fmCreateACLExt(0, 0, 0x43F7, 0);
}

// Compiles the ACLs and puts ACL 0 in force.
inline void apply_acl0() {
    fmCompileACL(0, nullptr, 0, 0);
    fmApplyACL(0, 0);
}

}  // namespace fmsimtest
