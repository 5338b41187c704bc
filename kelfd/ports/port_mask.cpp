// port_mask.cpp - the forwarding mask of single ports, set and read by the
// client directly.
#include <cstdint>

#include "ports.h"
#include "sdk_util.h"

namespace {

// The commands cover ports 1 to 47 with arrays of bits 0..47; port 0 and
// ports 48 and up in a client's set are ignored.
constexpr fm_int kFirstPort = 1;
constexpr fm_int kLastPort = KEL_MAX_PORTS - 1;
constexpr fm_int kMaskBits = KEL_MAX_PORTS;

// Port n of a client's set is bit n mod 8 of byte n div 8.
bool has_port(const std::uint8_t *set, fm_int port) {
    return (set[port / 8] >> (port % 8)) & 1u;
}
void add_port(std::uint8_t *set, fm_int port) {
    set[port / 8] = static_cast<std::uint8_t>(set[port / 8] | (1u << (port % 8)));
}

}  // namespace

int kel_set_port_mask_fn(int unit, kel_mask_t *mask) {
    // A failure stays recorded: a later port going well does not hide an
    // earlier port that did not get its mask.
    bool failed = false;
    for (fm_int p = kFirstPort; p <= kLastPort; ++p) {
        if (!has_port(mask->ingress, p)) continue;
        kelf::BitArray ports;
        if (ports.create(kMaskBits) != FM_OK) {
            failed = true;
            continue;
        }
        // Empty first, so that the port never forwards to a mix of its old
        // and new ports.
        fmSetPortAttribute(unit, p, FM_PORT_MASK_WIDE, ports.get());
        for (fm_int q = kFirstPort; q <= kLastPort; ++q)
            if (has_port(mask->egress, q) && fmSetBitArrayBit(ports.get(), q, TRUE) != FM_OK)
                failed = true;
        if (fmSetPortAttribute(unit, p, FM_PORT_MASK_WIDE, ports.get()) != FM_OK) failed = true;
    }
    return failed ? -1 : 0;
}

int kel_get_port_mask_fn(int unit, kel_mask_t *mask) {
    fm_int port = kFirstPort;
    while (port <= kLastPort && !has_port(mask->ingress, port)) ++port;
    if (port > kLastPort) return 0;

    kelf::BitArray ports;
    if (ports.create(kMaskBits) != FM_OK) return -1;
    if (fmGetPortAttribute(unit, port, FM_PORT_MASK_WIDE, ports.get()) != FM_OK) return -1;
    // Bits are added to what the client sent; what was gathered before a
    // failed read still goes back.
    bool failed = false;
    for (fm_int q = kFirstPort; q <= kLastPort; ++q) {
        fm_bool set = FALSE;
        if (fmGetBitArrayBit(ports.get(), q, &set) != FM_OK)
            failed = true;
        else if (set)
            add_port(mask->egress, q);
    }
    return failed ? -1 : 0;
}
