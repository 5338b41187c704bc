// fmsim_lbg.h - inspection of fmsim's load-balancing groups, for tests.
#pragma once

#include <vector>

struct FmsimLbg {
    bool exists = false;
    int mode = -1;
    int state = -1;         // FM_LBG_STATE_*
    std::vector<int> bins;  // port of each bin, FM_LBG_NO_PORT when none
};

FmsimLbg fmsim_lbg(int sw, int lbg);
// The switch's group numbers, ascending.
std::vector<int> fmsim_lbg_list(int sw);
