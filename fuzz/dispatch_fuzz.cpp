// Feeds arbitrary bytes, as the control socket would deliver them, to the
// dispatcher on the simulated switch. Any crash, sanitizer report or leak is
// a finding. Each input starts from a fresh daemon on two fresh switches.
#include <kelfd/kel_lib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "daemon_modules.h"
#include "dispatch.h"
#include "fmsim.h"

namespace {
kelf::Dispatcher *dispatcher;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The daemon's messages are not the subject; keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    static kelf::Dispatcher d;
    dispatcher = &d;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    kelf::Dispatcher &d = *dispatcher;
    // Every input starts from fresh switches and empty tables, so a finding
    // reproduces from its own input alone. The resets set back only what the
    // last input changed (DaemonState.ResetAfterRandomRequestsLeavesAFreshStart
    // holds them to a fresh start), so they cost little beside the request.
    fmsim_set_switches(2);
    kelf::reset_modules();
    kel_inserted = 2;
    d.clear();
    // The server takes at most one record (an extension's envelopes
    // included); the rest never reaches the daemon.
    if (size == 0) return 0;
    kelf::Reply r = d.run(data, size < KEL_X_MAX_REQUEST ? size : KEL_X_MAX_REQUEST);
    // The reply must lie wholly inside the dispatcher's own storage.
    volatile unsigned char sink = 0;
    const auto *p = static_cast<const unsigned char *>(r.data);
    for (std::size_t i = 0; i < r.size; ++i) sink = sink ^ p[i];
    (void)sink;
    return 0;
}
