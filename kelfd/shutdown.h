// shutdown.h - the daemon's last steps, on the main thread after the
// request loop has ended.
//
// Contract: prints the stop line, raises the bypass GPIO of every switch
// and, unless the stay-up flag is set (the default), reports every port's
// link down to the driver and removes the switch from the SDK.
#pragma once

namespace kelf {

void shutdown_switches();

}  // namespace kelf
