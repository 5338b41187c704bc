// fmsim_mirror.h - inspection of fmsim's mirror groups, for tests.
#pragma once

#include <vector>

struct FmsimMirror {
    bool exists = false;
    int mirror_port = -1;
    int type = -1;
    int vlan = -1;           // -1: the copies keep the frame's VLAN
    bool acl = false;        // rules may send frames to the mirror
    std::vector<int> ports;  // monitored ports, ascending
};

FmsimMirror fmsim_mirror(int sw, int mirror);
// The switch's mirror group numbers, ascending.
std::vector<int> fmsim_mirror_list(int sw);
