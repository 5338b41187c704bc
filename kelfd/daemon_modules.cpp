// daemon_modules.cpp - the resets of every module, in their fixed order.
#include "daemon_modules.h"

#include "daemon.h"
#include "distribution/distribution.h"
#include "events.h"
#include "labels.h"
#include "ports/ports.h"
#include "rules/rules.h"
#include "signals.h"

namespace kelf {

void reset_modules() {
    rules::reset();
    ports::reset();
    reset_events();
    labels::reset();
    distribution::reset();
    clear_stop_request();
    reset_daemon_state();
}

}  // namespace kelf
