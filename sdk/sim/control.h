// control.h - fmsim's control socket server: what it does with a request
// (control.cpp) and the socket it serves (control_server.cpp). Internal to
// fmsim; the protocol itself is <fmsim/control.h>.
#pragma once

#include <fmsim/control.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fm_sdk.h"

namespace fmsim::control {

// A request the server carries out: what the connection does next.
struct Handled {
    std::vector<std::uint8_t> reply;  // body of the reply
    bool capture = false;             // the reply acknowledges a capture
    int unit = 0, port = -1;          // of the capture
};

// Carries out one request body of any bytes; never throws. Every length
// and number is checked before use; a malformed request gets kError.
Handled handle(const std::uint8_t *body, std::size_t n);

// The socket's path: $KELF_RUN_DIR/fmsim.sock, else under /var/run.
std::string socket_path();

// Serves the control socket at path from a thread of its own; false with
// *why when the socket cannot be made or a live fmsim answers on it. The
// socket file is removed when the server stops or the process exits.
bool start_server(const std::string &path, std::string *why);
void stop_server();
// Leaves the socket out of this process (fmsim_control_disable).
void disable();

}  // namespace fmsim::control
