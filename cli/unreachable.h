// unreachable.h - what a client says when nothing answers on the socket it
// was given: the likely reasons, with the run directory it looked in.
#pragma once

#include <string>

namespace kelfctl {

// "\nWHO may not be running, or it runs with another KELF_RUN_DIR (here
// KELF_RUN_DIR=/x); -S PATH names its socket", to follow the failure.
std::string unreachable_hint(const std::string &who);

}  // namespace kelfctl
