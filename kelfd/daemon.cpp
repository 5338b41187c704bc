#include "daemon.h"

#include <kelfd/kel_lib.h>

#include <cstdint>

#include "events.h"

int kel_inserted = 0;
std::atomic<bool> foreground{false};
std::atomic<fm_int> switch_count{0};
fm_semaphore seq_semaphore{};
fm_bool sw_remain = TRUE;

int kel_get_dev_num_fn() {
    return kel_inserted;
}

int kel_get_port_link_fn(int unit, int port) {
    if (port < 1 || port > KEL_MAX_PORTS) return -1;
    if (unit < 0 || unit >= KEL_MAX_UNITS) return -1;
    return link_state[unit][port].load();
}

int kel_set_sw_remain_fn(int val) {
    sw_remain = static_cast<std::uint8_t>(val);
    return 0;
}

int kel_get_sw_remain_fn() {
    return static_cast<std::uint8_t>(sw_remain);
}

namespace kelf {

void reset_daemon_state() {
    kel_inserted = 0;
    foreground.store(false);
    switch_count.store(0);
    sw_remain = TRUE;
}

}  // namespace kelf
