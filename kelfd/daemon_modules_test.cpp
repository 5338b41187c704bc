// The module resets: one call brings every module back to its start, so
// tests (and fuzz inputs) never inherit what an earlier one left.
#include "daemon_modules.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "daemon.h"
#include "events.h"
#include "ports/ports.h"
#include "rules/rule_table.h"
#include "signals.h"
#include "testing/random_request.h"
#include "testing/rule_fixture.h"
#include "testing/state_view.h"

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

// A fuzz input starts from this reset, and a finding must reproduce from
// its input alone: after any run, the reset leaves the switches and the
// daemon's tables as a fresh start has them (the resets set back only what
// a run changed), and each batch of requests answers alike whatever ran
// before it.
TEST(DaemonState, ResetAfterRandomRequestsLeavesAFreshStart) {
    kelftest::fresh_daemon(2);
    const std::string fresh = kelftest::state_view(2);
    kelf::Dispatcher d;
    // Batches of requests as fuzz inputs; each batch's replies and the
    // state it leaves, the first time round.
    auto run = [&d](unsigned seed) {
        std::mt19937_64 rng(seed);
        std::string replies;
        testing::internal::CaptureStdout();
        for (int i = 0; i < 150; ++i) {
            kelftest::random_request(rng, d);
            kelf::Reply r = d.dispatch();
            replies.append(static_cast<const char *>(r.data), r.size);
        }
        testing::internal::GetCapturedStdout();
        return replies + kelftest::state_view(2);
    };
    const std::vector<unsigned> seeds = {1, 2, 3, 4, 5, 6};
    std::vector<std::string> first;
    for (unsigned seed : seeds) {
        first.push_back(run(seed));
        EXPECT_NE(first.back(), fresh) << "batch " << seed << " changed nothing";
        kelftest::fresh_daemon(2);
        ASSERT_EQ(kelftest::state_view(2), fresh) << "after batch " << seed;
    }
    // In the other order, each batch answers and leaves what it did first.
    for (size_t i = seeds.size(); i-- > 0;) {
        EXPECT_EQ(run(seeds[i]), first[i]) << "batch " << seeds[i];
        kelftest::fresh_daemon(2);
    }
    EXPECT_EQ(kelftest::state_view(2), fresh);
}

}  // namespace
