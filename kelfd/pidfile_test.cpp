// The pid file's text. Its lock, stop and detaching are the process tests'
// subject (they need processes of their own).
#include "pidfile.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(PidText, OnlyAPositivePidIsAPid) {
    EXPECT_EQ(kelf::parse_pid("4242\n"), 4242);
    EXPECT_EQ(kelf::parse_pid("17"), 17);
    EXPECT_EQ(kelf::parse_pid(std::to_string(INT_MAX)), INT_MAX);
    for (const char *bad : {"", "\n", "0\n", "-1\n", "-5", "+5", "12a\n", " 12", "12\n\n",
                            "2147483648", "99999999999999999999", "abc"})
        EXPECT_EQ(kelf::parse_pid(bad), -1) << '"' << bad << '"';
}

}  // namespace
