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
    static constexpr int kInline = 4;  // words held without a block of their own

public:
    Packed() = default;
    Packed(const T &v) { *this = v; }  // NOLINT: a value converts both ways
    Packed(const Packed &o) { copy(o); }
    Packed &operator=(const Packed &o) {
        if (this != &o) copy(o);
        return *this;
    }
    Packed(Packed &&o) noexcept { take(o); }
    Packed &operator=(Packed &&o) noexcept {
        if (this != &o) take(o);
        return *this;
    }

    Packed &operator=(const T &v) {
        std::array<std::uint64_t, kWords> w{};
        std::memcpy(w.data(), &v, sizeof v);
        present_ = 0;
        int n = 0;
        for (int i = 0; i < kWords; ++i)
            if (w[static_cast<std::size_t>(i)] != 0) present_ |= std::uint32_t{1} << i, ++n;
        more_.reset(n > kInline ? new std::uint64_t[static_cast<std::size_t>(n - kInline)]
                                : nullptr);
        int k = 0;
        for (int i = 0; i < kWords; ++i)
            if (present_ & (std::uint32_t{1} << i)) slot(k++) = w[static_cast<std::size_t>(i)];
        return *this;
    }

    T get() const {
        std::array<std::uint64_t, kWords> w{};
        int k = 0;
        for (int i = 0; i < kWords; ++i)
            if (present_ & (std::uint32_t{1} << i)) w[static_cast<std::size_t>(i)] = slot(k++);
        T v;
        std::memcpy(&v, w.data(), sizeof v);
        return v;
    }
    operator T() const { return get(); }

private:
    std::uint64_t &slot(int k) {
        return k < kInline ? inline_[static_cast<std::size_t>(k)]
                           : more_[static_cast<std::size_t>(k - kInline)];
    }
    std::uint64_t slot(int k) const {
        return k < kInline ? inline_[static_cast<std::size_t>(k)]
                           : more_[static_cast<std::size_t>(k - kInline)];
    }
    void copy(const Packed &o) {
        present_ = o.present_;
        inline_ = o.inline_;
        const int n = std::popcount(present_);
        more_.reset(n > kInline ? new std::uint64_t[static_cast<std::size_t>(n - kInline)]
                                : nullptr);
        for (int k = kInline; k < n; ++k) slot(k) = o.slot(k);
    }

    void take(Packed &o) noexcept {
        present_ = o.present_;
        inline_ = o.inline_;
        more_ = std::move(o.more_);
        o.present_ = 0;  // the moved-from value is all zero
    }

    std::uint32_t present_ = 0;
    std::array<std::uint64_t, kInline> inline_{};
    std::unique_ptr<std::uint64_t[]> more_;
};

}  // namespace kelf
