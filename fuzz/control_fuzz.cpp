// fmsim's control socket requests under libFuzzer: arbitrary bodies, as a
// client could send them, to the request handler, with a switch that is up
// and one rule redirecting port 1 to port 2, so that traces and sends reach
// the pipeline.
#include <cstddef>
#include <cstdint>

#include "control.h"
#include "fm_sdk.h"
#include "fmsim.h"
#include "switch_setup.h"

namespace {

bool setup() {
    fmsimtest::switch_up(1, 4);
    fmsimtest::create_acl0();
    fm_aclValue v{};
    v.srcGlort = 1;
    v.srcGlortMask = 0xFFFF;
    fm_aclParamExt p{};
    p.logicalPort = 2;
    fmAddACLRuleExt(0, 0, 1, FM_ACL_MATCH_SRC_GLORT, &v,
                    FM_ACL_ACTIONEXT_REDIRECT | FM_ACL_ACTIONEXT_COUNT, &p);
    fmsimtest::apply_acl0();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool ready = setup();
    (void)ready;
    fmsim::control::Handled h = fmsim::control::handle(data, size);
    // Every request is answered with a status byte.
    if (h.reply.empty() ||
        (h.reply[0] != fmsim::control::kOk && h.reply[0] != fmsim::control::kError))
        __builtin_trap();
    return 0;
}
