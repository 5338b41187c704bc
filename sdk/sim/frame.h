// frame.h - fmsim's frame parser, as the pipeline and its tests see it.
// Internal to fmsim.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fmsim_forward.h"

namespace fmsim {

// VLAN tag types the parser knows: the standard tag, the service tag and
// the two user tag types rules can name.
inline constexpr std::uint16_t kTpidStandard = 0x8100;
inline constexpr std::uint16_t kTpidService = 0x88A8;
inline constexpr std::uint16_t kTpidUserA = 0x9100;
inline constexpr std::uint16_t kTpidUserB = 0x9200;

inline bool is_tpid(std::uint16_t t) {
    return t == kTpidStandard || t == kTpidService || t == kTpidUserA || t == kTpidUserB;
}

// Fills *f from the bytes; never reads outside [bytes, bytes + length).
void parse_frame(const std::uint8_t *bytes, std::size_t length, FmsimParsedFrame *f);

// The VLAN a frame received on a port belongs to: its outer tag's, or the
// port's default VLAN when it is untagged or priority-tagged (VLAN id 0).
// The pipeline and the lookup alone (fmsim_classify) both ask here, so the
// reference classifier's input is the pipeline's.
inline int ingress_vlan(const FmsimParsedFrame &f, int port_default_vlan) {
    return f.tags > 0 && f.vid[0] != 0 ? f.vid[0] : port_default_vlan & 0xFFF;
}

}  // namespace fmsim
