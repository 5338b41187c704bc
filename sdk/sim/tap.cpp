// tap.cpp - TAP interfaces attached to ports (FMSIM_TAP).
#include "egress.h"

namespace fmsim {

fm_status start_taps() { return FM_OK; }

}  // namespace fmsim
