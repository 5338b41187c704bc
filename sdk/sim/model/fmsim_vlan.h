// fmsim_vlan.h - inspection of fmsim's VLANs, for tests.
#pragma once

struct FmsimVlanMember {
    bool member;
    bool tagged;
    int stp_state;
};

bool fmsim_vlan_exists(int sw, int vlan);
FmsimVlanMember fmsim_vlan_member(int sw, int vlan, int port);
bool fmsim_vlan_reflect(int sw, int vlan);
