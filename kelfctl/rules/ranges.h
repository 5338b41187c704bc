// ranges.h - what the switch's value/mask conditions can say, and how a
// range of L4 ports or a zero network becomes such conditions.
#pragma once

#include <cstdint>
#include <vector>

namespace kelfctl {

// A 16-bit value under a mask: a port p matches when (p & mask) == value.
struct ValueMask {
    int value;
    int mask;
    bool operator==(const ValueMask &) const = default;
};

// The ports lo..hi (0 <= lo <= hi <= 65535) as aligned power-of-two blocks,
// each one value/mask pair, in ascending order: the fewest pairs whose
// masks are prefixes that cover exactly the range (1024-65535 is six).
std::vector<ValueMask> split_port_range(int lo, int hi);

// The value to send for a condition whose masked value is zero: kelfd takes
// a zero value as "no condition", but the switch compares only the masked
// bits, so any value with bits outside the mask alone matches the same
// frames. The lowest such bit; 0 when the mask covers every bit.
std::uint32_t zero_stand_in(std::uint32_t mask, std::uint32_t width_mask);

}  // namespace kelfctl
