// shutdown.cpp - what the daemon does to the switches when it stops.
#include "shutdown.h"

#include <cstdio>

#include "daemon.h"
#include "events.h"
#include "messages.h"
#include "startup.h"

namespace kelf {

void shutdown_switches() {
    std::puts(msg::kGotSigterm);
    std::fflush(stdout);
    for (fm_int sw = 0; sw < kel_inserted; ++sw)
        fmPlatformGpioSetDirection(sw, kGpioBypass, FM_PLAT_GPIO_DIR_OUTPUT, 1);
    if (sw_remain) return;
    for (fm_int sw = 0; sw < kel_inserted; ++sw) {
        fm_switchInfo swInfo{};
        fm_int ifindex = 0;
        fmGetSwitchInfo(sw, &swInfo);
        if (fmPlatformIfindexSwitchGet(sw, &ifindex) != FM_OK) continue;
        std::printf(msg::kShutdownSwitch, sw);
        std::fflush(stdout);
        for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) {
            fm_bool pcie = FALSE;
            if (fmIsPciePort(sw, cpi, &pcie) != FM_OK || ifindex == 0) continue;
            if (pcie)
                send_link_prop({ifindex, 0, 0, cpi, 0, 0, 0, 0});
            else
                send_link_prop({ifindex, cpi, 0, 0, 0, 0, 0, 0});
        }
        fmHandleSwitchRemoved(sw, 0);
    }
}

}  // namespace kelf
