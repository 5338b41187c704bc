// control.cpp - fmsim's control socket, served to fmsimctl.
#include "egress.h"

namespace fmsim {

fm_status start_control() { return FM_OK; }

}  // namespace fmsim
