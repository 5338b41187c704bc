// fmsim_forward.h - frames through the simulated switch, in process.
//
// A frame injected at a port of a switch goes through the same pipeline a
// frame on the wire would: ingress checks, parsing, ingress mirrors, the
// ACLs in force, redirects, load-balancing, L2 learning and flooding within
// the port masks, egress checks, and the counters of every port and rule it
// touches. docs/fmsim.md describes each stage and every choice it makes.
//
// Thread-safe: frames may be injected from any thread while others change
// the switch through the SDK; each frame sees the switch as one state.
#pragma once

#include <fmsim/control.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Why a parse stopped early; anything but None drops the frame.
enum class FmsimParseError : std::uint8_t {
    None,
    ShortEthernet,  // fewer than 14 bytes
    ShortTag,       // a VLAN tag cut off
    ShortMpls,      // an MPLS EtherType without a label word
    BadIp,          // wrong version, header length or total length
    ShortIp,        // the IP header or the length it announces is cut off
    ShortL4,        // the TCP or UDP header is cut off
};

// The fields of a frame as the parser found them. IP addresses are packed as
// rules hold them: an IPv4 address is addr[0], its first byte the most
// significant; an IPv6 address's bytes 12..15 are addr[0] with byte 15 the
// most significant, bytes 0..3 addr[3] with byte 3 the most significant.
struct FmsimParsedFrame {
    std::size_t length = 0;
    std::uint64_t dmac = 0, smac = 0;  // first byte on the wire most significant
    int tags = 0;                      // VLAN tags parsed (0..2), outer first
    std::uint16_t tpid[2] = {};
    std::uint16_t vid[2] = {};
    std::uint8_t pcp[2] = {};
    std::uint8_t dei[2] = {};
    std::uint16_t ethertype = 0;  // the EtherType after the tags
    std::size_t l3_offset = 0;    // where the bytes after the EtherType start
    bool mpls = false;
    std::uint32_t mpls_label_word = 0;  // the first label stack entry
    bool ipv4 = false, ipv6 = false;
    std::uint32_t src_ip[4] = {}, dst_ip[4] = {};
    std::uint8_t protocol = 0;  // IPv4 protocol or IPv6 next header
    std::uint8_t dscp = 0;
    std::uint32_t flow_label = 0;
    bool fragment = false;  // a non-first IPv4 fragment: no L4 header
    bool l4 = false;        // TCP or UDP ports were read
    std::uint16_t src_port = 0, dst_port = 0;
    // The 32 bytes after the EtherType, zero past the frame's end.
    std::uint8_t payload[32] = {};
    FmsimParseError error = FmsimParseError::None;
};

// Parses bytes alone, with no switch; the fuzz target and tests use it.
FmsimParsedFrame fmsim_parse_frame(const std::uint8_t *bytes, std::size_t length);

// Why a frame left a port, and why a frame went nowhere: the codes fmsim's
// control socket carries, with their names (<fmsim/control.h>).
using FmsimEmitKind = fmsim::control::EmitKind;
using FmsimDrop = fmsim::control::Drop;

// One frame leaving the switch.
struct FmsimEmit {
    int port = -1;
    std::vector<std::uint8_t> bytes;  // as they leave the port
    FmsimEmitKind kind = FmsimEmitKind::Unicast;
    int source = -1;  // the mirror or multicast group for those kinds
};

const char *fmsim_drop_name(FmsimDrop drop);

struct FmsimOutcome {
    std::vector<FmsimEmit> frames;  // in the order they left
    FmsimDrop drop = FmsimDrop::None;
    int looped = 0;  // frames a loopback port returned to its ingress
};

// A rule that hit: ACL and rule number; rule -1 when none of the ACL's rules
// held.
struct FmsimAclHit {
    int acl = -1;
    int rule = -1;
};

// What each stage decided, when asked for.
struct FmsimTrace {
    FmsimParsedFrame parsed;
    int vlan = -1;                  // the frame's VLAN after the rules
    int priority = 0;               // VLAN priority after the rules
    int switch_priority = 0;        // after the rules
    std::vector<FmsimAclHit> hits;  // every ACL with rules in force, ascending
    FmsimAclHit deciding;           // the hit that decided forwarding
    int lbg = -1;                   // load-balancing: group, hash and bin
    std::uint32_t hash = 0;
    int bin = -1;
    bool learned = false;            // the source address was learned (or moved)
    std::vector<std::string> lines;  // one line per decision, readable
    // Set before the call to skip the lines (the costliest part of a trace)
    // when only the decisions above are wanted; kept across the call.
    bool no_lines = false;
};

// Sends a frame into port `port` of switch `sw` and reports what left. When
// trace is given it is filled; without it nothing is spent on tracing.
FmsimOutcome fmsim_inject(int sw, int port, const std::uint8_t *bytes, std::size_t length,
                          FmsimTrace *trace = nullptr);
inline FmsimOutcome fmsim_inject(int sw, int port, const std::vector<std::uint8_t> &bytes,
                                 FmsimTrace *trace = nullptr) {
    return fmsim_inject(sw, port, bytes.data(), bytes.size(), trace);
}

// The lookup alone, without side effects: parses the frame as received on
// the port and reports each ACL's hit (as in FmsimTrace::hits) and the
// frame's VLAN. false when the switch or port is unknown or the frame does
// not parse. The tests' reference classifier is checked against it.
bool fmsim_classify(int sw, int port, const std::uint8_t *bytes, std::size_t length,
                    FmsimParsedFrame *parsed, int *vlan, std::vector<FmsimAclHit> *hits);

// The learned address table: the port where (vlan, mac) was last seen, or -1.
int fmsim_learned_port(int sw, int vlan, std::uint64_t mac);
// Forgets every learned address of the switch.
void fmsim_flush_learned(int sw);
