// packed.h - compact copies of rule values, which the daemon's rule table
// and fmsim's rule store both keep by the hundred thousand.
//
// A record kept in its nonzero 8-byte words only: most of a rule's match
// values are zero (a 216-byte value whose rule matches one port and one
// address has three words that are not), so that a table of many rules
// holds a fraction of their size. Exactly the bytes given come back.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

namespace kelf {

template <typename T>
class Packed {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr int kWords = static_cast<int>((sizeof(T) + 7) / 8);
    static_assert(kWords <= 32, "a 32-bit map of the words");
    // Words held in the record itself; a value with more keeps all of its
    // words in a block of their own, whose pointer takes their place.
    static constexpr int kInline = 4;

public:
    Packed() = default;
    Packed(const T &v) { *this = v; }  // NOLINT: a value converts both ways
    Packed(const Packed &o) { assign(o.present_, o.data()); }
    Packed &operator=(const Packed &o) {
        if (this != &o) assign(o.present_, o.data());
        return *this;
    }
    Packed(Packed &&o) noexcept { take(o); }
    Packed &operator=(Packed &&o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~Packed() { release(); }

    Packed &operator=(const T &v) {
        std::array<std::uint64_t, kWords> w{};
        std::memcpy(w.data(), &v, sizeof v);
        std::uint32_t present = 0;
        std::array<std::uint64_t, kWords> nonzero{};
        int n = 0;
        for (int i = 0; i < kWords; ++i)
            if (w[static_cast<std::size_t>(i)] != 0) {
                present |= std::uint32_t{1} << i;
                nonzero[static_cast<std::size_t>(n++)] = w[static_cast<std::size_t>(i)];
            }
        assign(present, nonzero.data());
        return *this;
    }

    T get() const {
        std::array<std::uint64_t, kWords> w{};
        const std::uint64_t *d = data();
        int k = 0;
        for (int i = 0; i < kWords; ++i)
            if (present_ & (std::uint32_t{1} << i)) w[static_cast<std::size_t>(i)] = d[k++];
        T v;
        std::memcpy(&v, w.data(), sizeof v);
        return v;
    }
    operator T() const { return get(); }

private:
    static bool on_heap(std::uint32_t present) { return std::popcount(present) > kInline; }
    const std::uint64_t *data() const { return on_heap(present_) ? s_.heap : s_.word; }

    // Makes this the value of `present` with its nonzero words `words`
    // (which may be this value's own).
    void assign(std::uint32_t present, const std::uint64_t *words) {
        const auto n = static_cast<std::size_t>(std::popcount(present));
        if (on_heap(present)) {
            auto *block = new std::uint64_t[n];  // before anything changes
            std::memcpy(block, words, n * sizeof *block);
            release();
            s_.heap = block;
        } else {
            std::array<std::uint64_t, kInline> copy{};
            std::memcpy(copy.data(), words, n * sizeof copy[0]);
            release();
            for (std::size_t k = 0; k < kInline; ++k) s_.word[k] = copy[k];
        }
        present_ = present;
    }

    void release() noexcept {
        if (on_heap(present_)) delete[] s_.heap;
        present_ = 0;
        s_.heap = nullptr;
    }

    void take(Packed &o) noexcept {
        present_ = o.present_;
        s_ = o.s_;
        o.present_ = 0;  // the moved-from value is all zero
        o.s_.heap = nullptr;
    }

    std::uint32_t present_ = 0;
    union Store {
        std::uint64_t word[kInline];
        std::uint64_t *heap;
    } s_{};
};

}  // namespace kelf
