// no_control.cpp - part of every program that links fmsim's test interface:
// such a program runs fmsim in process, and its control socket would land in
// the run directory (or /var/run) and meet those of the others.
#include "fmsim_control.h"

namespace {
const bool control_off = [] {
    fmsim_control_disable();
    return true;
}();
}  // namespace
