// What a member of the read group may send: requests that only read, also
// inside envelopes; anything that holds a change is not one.
#include "access.h"

#include <gtest/gtest.h>
#include <kelfd/kel_lib.h>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> bytes_of(const void *p, std::size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    return {b, b + n};
}

std::vector<unsigned char> kel(std::int32_t code) {
    if_kel_t k;
    std::memset(&k, 0, sizeof k);
    k.kel_cmd = code;
    return bytes_of(&k, sizeof k);
}

std::vector<unsigned char> wrapped(std::uint32_t code, std::int32_t arg,
                                   const std::vector<std::vector<unsigned char>> &items) {
    kel_x_envelope_t e{code, arg};
    std::vector<unsigned char> out = bytes_of(&e, sizeof e);
    for (const auto &i : items) {
        if (code == KEL_X_MULTI) {
            const auto n = static_cast<std::uint32_t>(i.size());
            const auto len = bytes_of(&n, 4);
            out.insert(out.end(), len.begin(), len.end());
        }
        out.insert(out.end(), i.begin(), i.end());
    }
    return out;
}

bool reads(const std::vector<unsigned char> &r) {
    return kelf::access::only_reads(r.data(), r.size());
}

TEST(Access, OnlyRequestsThatReadPassAlsoInsideEnvelopes) {
    EXPECT_TRUE(reads(kel(KEL_ENTRY_QUERY_LIST)));
    EXPECT_TRUE(reads(kel(KEL_GET_STAT)));
    EXPECT_TRUE(reads(kel(KEL_INIT)));  // a code that does nothing
    EXPECT_FALSE(reads(kel(KEL_SET_DROP)));
    EXPECT_FALSE(reads(kel(KEL_SET_SW_REMAIN)));
    EXPECT_FALSE(reads(kel(KEL_WRITE_PHY)));
    EXPECT_FALSE(reads(kel(KEL_READ_PHY)));  // the hardware around the chip: root's
    EXPECT_FALSE(reads(kel(KEL_X_LABEL)));
    EXPECT_FALSE(reads(kel(KEL_X_TXN_BEGIN)));
    kel_x_read_t rb{KEL_X_RULES, 0, 0, 0, 0};
    EXPECT_TRUE(reads(bytes_of(&rb, sizeof rb)));
    EXPECT_TRUE(reads(wrapped(KEL_X_WHY, 0, {kel(KEL_GET_CFG)})));
    EXPECT_FALSE(reads(wrapped(KEL_X_WHY, 0, {kel(KEL_CLEAR)})));
    EXPECT_FALSE(reads(wrapped(KEL_X_TXN, 7, {kel(KEL_ENTRY_QUERY)})));
    EXPECT_TRUE(reads(wrapped(KEL_X_MULTI, 2, {kel(KEL_GET_CFG), kel(KEL_GET_STAT)})));
    EXPECT_FALSE(reads(wrapped(KEL_X_MULTI, 2, {kel(KEL_GET_CFG), kel(KEL_SET_DROP)})));
    EXPECT_FALSE(reads(wrapped(KEL_X_MULTI, 1, {wrapped(KEL_X_WHY, 0, {kel(KEL_ENTRY_REMOVE)})})));
}

}  // namespace
