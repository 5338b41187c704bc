// wire_records.h - reading and writing the byte-packed records of the
// wire: a request's code, a record read as sent (its missing tail zero),
// and a record appended to a reply.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kelf::wire {

// The first four bytes of a request (those there are).
inline std::uint32_t code_of(const unsigned char *rec, std::size_t n) {
    std::uint32_t code = 0;
    std::memcpy(&code, rec, std::min<std::size_t>(n, sizeof code));
    return code;
}

// A record as sent, read into a zeroed one: a short request reads as if
// its missing tail were zeros.
template <class T>
T read(const unsigned char *rec, std::size_t n) {
    T t;
    std::memset(&t, 0, sizeof t);
    std::memcpy(&t, rec, std::min(n, sizeof t));
    return t;
}

template <class T>
T zeroed() {
    T t;
    std::memset(&t, 0, sizeof t);
    return t;
}

template <class T>
void append(std::vector<unsigned char> &out, const T &t) {
    const auto *p = reinterpret_cast<const unsigned char *>(&t);
    out.insert(out.end(), p, p + sizeof t);
}

}  // namespace kelf::wire
