// sdk_util.h - how the daemon reports SDK failures, and RAII holders for the
// SDK resources that a handler creates.
#pragma once

#include "fm_sdk.h"

// Reports a failed SDK call: "src: message" on standard output, flushed.
// Does nothing for a status of 0 and changes no state.
void cleanup(fm_int err, const char *src);

#include <set>
#include <utility>

namespace kelf {

// cleanup() for a handler that makes the same call thousands of times (once
// per VLAN): each distinct failure, by call and status, is printed once.
class CleanupOnce {
public:
    void operator()(fm_status err, const char *src) {
        if (err != FM_OK && seen_.emplace(src, err).second) cleanup(err, src);
    }

private:
    std::set<std::pair<const char *, fm_status>> seen_;
};

// An SDK bit array owned by one scope: created with a bit count, deleted
// when the scope ends, whatever path leaves it.
class BitArray {
public:
    BitArray() = default;
    ~BitArray();
    BitArray(const BitArray &) = delete;
    BitArray &operator=(const BitArray &) = delete;

    // Creates the array; the status of fmCreateBitArray.
    fm_status create(fm_int bitCount);
    bool valid() const { return created_; }
    fm_bitArray *get() { return &array_; }

private:
    fm_bitArray array_{};
    bool created_ = false;
};

}  // namespace kelf
