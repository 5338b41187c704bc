// fmsim_mcast.h - inspection of fmsim's multicast groups, for tests.
#pragma once

#include <vector>

struct FmsimMcastListener {
    int vlan;
    int port;
    bool flood;
    int xcast_glort;
    bool remote;
};

struct FmsimMcastGroup {
    bool exists = false;
    bool active = false;
    bool l2_only = false;
    bool l3_only = false;
    int port = -1;                              // the group's logical port
    std::vector<FmsimMcastListener> listeners;  // by VLAN, then port
};

FmsimMcastGroup fmsim_mcast_group(int sw, int group);
// The switch's group numbers, ascending.
std::vector<int> fmsim_mcast_list(int sw);
