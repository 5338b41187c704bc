// fmsim_control.h - fmsim's control socket, for programs that link fmsim in
// process.
#pragma once

// Keeps fmInitialize from serving the control socket in this process.
// Every program that links fmsim's test interface calls it before main
// (sdk/sim/testing/no_control.cpp): unit tests, fuzz targets and
// benchmarks then never make $KELF_RUN_DIR/fmsim.sock nor meet another
// one there.
void fmsim_control_disable();
