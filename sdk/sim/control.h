// control.h - fmsim's control socket: the wire format fmsimctl speaks and
// the server behind it. Internal to fmsim; docs/fmsim.md describes the
// format for other clients.
//
// A connection carries any number of messages each way. A message is a
// 4-byte length N (host byte order, 1..kMaxBody) and N bytes of body. A
// request body starts with its operation code, a reply body with its status
// (kOk, or kError followed by a readable message). Requests on one
// connection are answered in order; a capture turns its connection into a
// stream of frames from the server until the client closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fm_sdk.h"

namespace fmsim::control {

inline constexpr std::uint32_t kVersion = 1;
// Largest message body either way, and a send's frames at most.
inline constexpr std::uint32_t kMaxBody = 1u << 20;
inline constexpr std::uint32_t kMaxBatch = 16384;
inline constexpr std::uint32_t kMaxFrame = 65535;

enum Op : std::uint8_t {
    kHello = 1,    // -> u32 version, u32 switches
    kTrace = 2,    // i32 unit, i32 port, frame bytes -> JSON text of the trace
    kSend = 3,     // i32 unit, i32 port, u8 flags, u32 count, count x (u32 len, bytes)
    kCapture = 4,  // i32 unit, i32 port (-1: every port) -> ack, then frame messages
    kPorts = 5,    // i32 unit -> JSON text of the port table
};
enum Status : std::uint8_t { kOk = 0, kError = 1, kFrame = 0x10 };
// kSend flags: report what each frame did (drop, rules, frames that left).
inline constexpr std::uint8_t kSendReport = 1;

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
