// The module resets: one call brings every module back to its start, so
// tests (and fuzz inputs) never inherit what an earlier one left.
#include "daemon_modules.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "daemon.h"
#include "events.h"
#include "ports/ports.h"
#include "rules/rule_table.h"
#include "signals.h"
#include "testing/rule_fixture.h"

namespace {

TEST(DaemonState, ResetForgetsRulesConfigurationsLinksAndFlags) {
    kelftest::fresh_daemon(2);
    // Leave something in every table.
    if_kel_t r = kelftest::rule(3, 0, 1);
    r.kel_mem.redir_port = 2;
    ASSERT_EQ(kel_add_rule_fn(KEL_ACT_REDIRECT, &r), 1);
    r = kelftest::rule(0, 500, 4);
    ASSERT_EQ(kel_add_rule_fn(KEL_ACT_DROP, &r), 500);
    ASSERT_EQ(kel_set_cfg_fn(1, 6), 0);
    link_state[1][7].store(1);
    kel_set_sw_remain_fn(0);
    ASSERT_TRUE(kelf::install_signals());
    ::raise(SIGTERM);
    ASSERT_TRUE(kelf::stop_requested());

    kelftest::fresh_daemon(2);
    for (int unit = 0; unit < 2; ++unit)
        for (int g = 0; g < KEL_MAX_GROUPS; ++g) {
            EXPECT_EQ(kel_acl[unit][g].count(), 0) << unit << "/" << g;
            EXPECT_EQ(kel_cur_rule[unit][g], 0) << unit << "/" << g;
        }
    EXPECT_EQ(kel_get_cfg_fn(1), 0);
    EXPECT_EQ(kel_get_port_link_fn(1, 7), 0);
    EXPECT_EQ(kel_get_sw_remain_fn(), 1);
    EXPECT_FALSE(kelf::stop_requested());
    // The same rules go in again with the same ids: nothing of them is left.
    r = kelftest::rule(3, 0, 1);
    r.kel_mem.redir_port = 2;
    EXPECT_EQ(kel_add_rule_fn(KEL_ACT_REDIRECT, &r), 1);
    r = kelftest::rule(0, 500, 4);
    EXPECT_EQ(kel_add_rule_fn(KEL_ACT_DROP, &r), 500);
    kelftest::RuleTest::expect_in_step(0);
}

}  // namespace
