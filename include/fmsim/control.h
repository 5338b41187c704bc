// control.h - fmsim's control socket protocol, the one place it is named:
// fmsim's server and fmsimctl both compile it, and docs/fmsim.md describes
// it for other clients. Header-only, on the standard library alone.
//
// The socket is $KELF_RUN_DIR/fmsim.sock (kSocketName in the run directory
// of <kelfd/run_dir.h>). A connection carries any number of messages each
// way. A message is a 4-byte length N (host byte order) and N bytes of
// body: 1..kMaxRequest from the client, 1..kMaxReply from the server. A
// request body starts with its operation code, a reply body with its status
// (kOk, or kError followed by a readable message). Requests on one
// connection are answered in order; a capture turns its connection into a
// stream of kFrame messages from the server until the client closes it.
// Numbers are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fmsim::control {

inline constexpr const char *kSocketName = "fmsim.sock";
inline constexpr std::uint32_t kVersion = 1;

// Largest request body the server reads; a length outside 1..kMaxRequest
// ends the connection after an error reply.
inline constexpr std::uint32_t kMaxRequest = 1u << 20;
// Largest reply body a client takes. Replies grow with what leaves the
// switch (a flooded frame is in a send report once per port, a trace holds
// every copy in hex), so they may be far longer than the request.
inline constexpr std::uint32_t kMaxReply = 64u << 20;
// Frames in one send request, and bytes in one frame, at most.
inline constexpr std::uint32_t kMaxBatch = 16384;
inline constexpr std::uint32_t kMaxFrame = 65535;

enum Op : std::uint8_t {
    kHello = 1,    // -> u32 version, u32 switches
    kTrace = 2,    // i32 unit, i32 port, frame bytes -> JSON text of the trace
    kSend = 3,     // i32 unit, i32 port, u8 flags, u32 count, count x (u32 len, bytes)
    kCapture = 4,  // i32 unit, i32 port (-1: every port) -> ack, then kFrame messages
    kPorts = 5,    // i32 unit -> JSON text of the port table
    kStats = 6,    // -> JSON text of each switch's ACL compiles, applies and rules
};
enum Status : std::uint8_t { kOk = 0, kError = 1, kFrame = 0x10 };

// kSend flags: report what each frame did. The reply is kOk, u32 count,
// then without kSendReport u64 frames that left the switch; with it, per
// frame: u8 drop code, u8 hits, hits x (i32 acl, i32 rule), i32 deciding
// acl, i32 deciding rule, u16 emits, emits x (i32 port, u8 emit code,
// i32 source, u32 len, bytes).
inline constexpr std::uint8_t kSendReport = 1;

// A kFrame message: status, u64 nanoseconds since the epoch, i32 port,
// u8 emit code, u32 frames this capture dropped so far, then the frame.
inline constexpr std::size_t kFrameHeader = 1 + 8 + 4 + 1 + 4;

// Why a frame itself (not its mirror copies) went nowhere: the code of a
// send report, and by name the "reason" of a trace.
enum class Drop : std::uint8_t {
    None = 0,
    NoSwitch = 1,        // the switch does not exist or is not up
    NoPort = 2,          // the port does not exist
    PortDown = 3,        // the ingress port is not up
    Undersized = 4,      // shorter than an Ethernet header
    Oversized = 5,       // longer than the port's maximum frame size
    ParseError = 6,      // headers cut off or inconsistent
    VlanIngress = 7,     // the port is not a forwarding member of the frame's VLAN
    RuleDrop = 8,        // a rule dropped it
    BadTarget = 9,       // a rule named a port, group or mirror that cannot take it
    LbgNoPort = 10,      // the load-balancing bin holds no port
    NoDestination = 11,  // forwarding found no port that could take it
};

// Why a frame left a port: the code of a send report and a kFrame message,
// and by name the "kind" of a trace's egress and its text lines.
enum class EmitKind : std::uint8_t {
    Unicast = 0,      // L2 forwarding to a learned address
    Flood = 1,        // L2 flooding to the VLAN
    Redirect = 2,     // a rule's redirect
    LoadBalance = 3,  // a rule's load-balancing group
    Multicast = 4,    // one listener's copy of a multicast group
    Mirror = 5,       // a mirror's copy
};

// The names, by code; nullptr for a code this side does not know.
constexpr const char *name(Drop d) {
    switch (d) {
        case Drop::None:
            return "none";
        case Drop::NoSwitch:
            return "no-switch";
        case Drop::NoPort:
            return "no-port";
        case Drop::PortDown:
            return "port-down";
        case Drop::Undersized:
            return "undersized";
        case Drop::Oversized:
            return "oversized";
        case Drop::ParseError:
            return "parse-error";
        case Drop::VlanIngress:
            return "vlan-ingress";
        case Drop::RuleDrop:
            return "rule-drop";
        case Drop::BadTarget:
            return "bad-target";
        case Drop::LbgNoPort:
            return "lbg-no-port";
        case Drop::NoDestination:
            return "no-destination";
    }
    return nullptr;
}
constexpr const char *name(EmitKind k) {
    switch (k) {
        case EmitKind::Unicast:
            return "unicast";
        case EmitKind::Flood:
            return "flood";
        case EmitKind::Redirect:
            return "redirect";
        case EmitKind::LoadBalance:
            return "lbg";
        case EmitKind::Multicast:
            return "multicast";
        case EmitKind::Mirror:
            return "mirror";
    }
    return nullptr;
}
constexpr const char *drop_name(std::uint8_t code) {
    return name(static_cast<Drop>(code));
}
constexpr const char *emit_name(std::uint8_t code) {
    return name(static_cast<EmitKind>(code));
}

}  // namespace fmsim::control
