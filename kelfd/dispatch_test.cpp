// The dispatcher in-process: which codes act, which are refused, and what
// goes back for them.
#include "dispatch.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "testing/harness.h"

extern "C" int kel_lib_c_record_size(void);

namespace {

using kelftest::Answer;

// A request of nothing but its code.
Answer run(kelf::Dispatcher &d, std::uint32_t code) {
    return kelftest::send(d, code);
}

TEST(WireHeader, CompilesAsCWithTheSameLayout) {
    EXPECT_EQ(kel_lib_c_record_size(), 9428);
}

TEST(Dispatch, UnknownCodesPrintAndAnswerMinusOne) {
    kelf::Dispatcher d;
    for (std::uint32_t code :
         {0u, 10u, 19u, 48u, 56u, 71u, 89u, 99u, 123u, 199u, 204u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Answer a = run(d, code);
        EXPECT_EQ(a.status(), -1) << code;
        EXPECT_EQ(a.reply.size(), 4u) << code;
        EXPECT_EQ(a.out, "keld: Unknown command\n") << code;
    }
}

TEST(Dispatch, LbgPortCommandsAreRefusedSilently) {
    kelf::Dispatcher d;
    for (std::uint32_t code : {59u, 60u}) {
        Answer a = run(d, code);
        EXPECT_EQ(a.status(), -1);
        EXPECT_EQ(a.out, "");
    }
}

TEST(Dispatch, NoActionCodesAnswerZeroWhateverCameBefore) {
    kelf::Dispatcher d;
    for (std::uint32_t code : {1u, 3u, 9u, 49u, 50u, 51u, 64u, 102u, 103u, 200u}) {
        ASSERT_EQ(run(d, 204).status(), -1);
        Answer a = run(d, code);
        EXPECT_EQ(a.status(), 0) << code;
        EXPECT_EQ(a.reply.size(), 4u);
        EXPECT_EQ(a.out, "");
    }
}

}  // namespace
