#include "ranges.h"

namespace kelfctl {

std::vector<ValueMask> split_port_range(int lo, int hi) {
    std::vector<ValueMask> out;
    long p = lo;
    while (p <= hi) {
        // The largest block that starts at p (aligned) and ends within hi.
        long size = p == 0 ? 0x10000 : (p & -p);
        while (p + size - 1 > hi) size >>= 1;
        out.push_back({static_cast<int>(p), static_cast<int>(0xFFFF & ~(size - 1))});
        p += size;
    }
    return out;
}

std::uint32_t zero_stand_in(std::uint32_t mask, std::uint32_t width_mask) {
    std::uint32_t free_bits = ~mask & width_mask;
    return free_bits & (~free_bits + 1);
}

}  // namespace kelfctl
