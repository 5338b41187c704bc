#include "daemon.h"

#include <kelfd/kel_lib.h>

#include <cstdint>

#include "events.h"
#include "ports/ports.h"
#include "rules/rule_match.h"
#include "rules/rule_table.h"
#include "signals.h"

int kel_inserted = 0;
std::atomic<int> start_flag{0};
std::atomic<fm_int> numSw{0};
fm_semaphore seqSem{};
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

void reset_state() {
    rules::reset_tables();
    rules::reset_port_sets();
    ports_reset();
    reset_events();
    clear_stop_request();
    kel_inserted = 0;
    start_flag.store(0);
    numSw.store(0);
    sw_remain = TRUE;
}

}  // namespace kelf
