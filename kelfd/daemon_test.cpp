// The daemon-level state: units count as they are brought up.
#include "daemon.h"

#include <gtest/gtest.h>

#include "testing/harness.h"

namespace {

TEST(DaemonState, UnitsCountOnlyAfterTheBringUp) {
    kelftest::fresh_daemon(2, false);
    EXPECT_EQ(kel_get_dev_num_fn(), 0);
    EXPECT_FALSE(kelf::unit_inserted(0));
    kelftest::fresh_daemon(2);
    EXPECT_EQ(kel_get_dev_num_fn(), 2);
    EXPECT_TRUE(kelf::unit_inserted(1));
    EXPECT_FALSE(kelf::unit_inserted(2));
    EXPECT_FALSE(kelf::unit_inserted(-1));
}

}  // namespace
