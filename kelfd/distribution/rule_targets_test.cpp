// Rules that send frames to a load-balancing group or a mirror: the rule as
// the switch holds it names the group or mirror the distribution commands
// made, and a mirror rule opens its mirror to rules.
#include <gtest/gtest.h>

#include "daemon.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "fmsim_lbg.h"
#include "fmsim_mirror.h"
#include "testing/harness.h"

namespace {

using kelftest::send;

TEST(RuleTargets, RulesNameTheGroupAndTheMirror) {
    kelftest::fresh_daemon(1);
    kelf::Dispatcher d;
    kelftest::set_list(kelftest::lbg_request(d, KEL_LBG_ADD), {1, 2, 3});
    int lbg = send(d).status();
    ASSERT_GE(lbg, 0);
    if_kel_lbg_t &mir = kelftest::lbg_request(d, KEL_MIR_ADD);
    mir.lbg = 10;
    kelftest::set_list(mir, {1, 2});
    ASSERT_EQ(send(d).status(), 0);
    EXPECT_FALSE(fmsim_mirror(0, 10).acl);

    if_kel_t &toGroup = kelftest::kel_request(d, KEL_SET_RULE);
    toGroup.action = KEL_ACT_LBG;
    toGroup.kel_mem.port = 4;
    toGroup.kel_mem.redir_port = lbg;
    int groupRule = send(d).status();
    ASSERT_GT(groupRule, 0);
    if_kel_t &toMirror = kelftest::kel_request(d, KEL_SET_MIR);
    toMirror.kel_mem.port = 5;
    toMirror.kel_mem.mirror_port = 10;
    int mirrorRule = send(d).status();
    ASSERT_GT(mirrorRule, 0);

    FmsimAclRule r;
    ASSERT_TRUE(fmsim_acl_rule(0, 0, groupRule, &r));
    EXPECT_TRUE(r.action & FM_ACL_ACTIONEXT_LOAD_BALANCE);
    EXPECT_EQ(r.param.lbgNumber, lbg);
    EXPECT_TRUE(fmsim_lbg(0, lbg).exists);
    ASSERT_TRUE(fmsim_acl_rule(0, 0, mirrorRule, &r));
    EXPECT_EQ(r.action, FM_ACL_ACTIONEXT_MIRROR_GRP | 0x20);
    EXPECT_EQ(r.param.mirrorGrp, 10);
    FmsimMirror m = fmsim_mirror(0, 10);
    EXPECT_TRUE(m.acl);
    EXPECT_EQ(m.ports, (std::vector<int>{1, 2})) << "the rule leaves the monitored ports";
    EXPECT_TRUE(fmsim_acl_in_force(0));
}

// A multicast group's logical port is no physical port: it has no state,
// and a redirect rule to it is removed and cleared like any other.
TEST(RuleTargets, ARedirectToAMulticastGroupIsRemovedAndCleared) {
    kelftest::fresh_daemon(1);
    kelf::Dispatcher d;
    kelftest::kel_request(d, KEL_MCG_CREATE);
    int group = send(d).status();
    ASSERT_GE(group, 0);
    kelftest::kel_request(d, KEL_MCG_GET_PORT).group = group;
    int port = send(d).status();
    ASSERT_GT(port, 0);
    auto redirect = [&] {
        if_kel_t &r = kelftest::kel_request(d, KEL_SET_DIR);
        r.kel_mem.port = 3;
        r.kel_mem.redir_port = port;
        return send(d).status();
    };
    int id = redirect();
    ASSERT_GT(id, 0);
    if_kel_t &rm = kelftest::kel_request(d, KEL_ENTRY_REMOVE);
    rm.rule_id = id;
    EXPECT_EQ(send(d).status(), 0);
    EXPECT_FALSE(fmsim_acl_rule(0, 0, id, nullptr));
    EXPECT_TRUE(fmsim_acl_in_force(0));

    ASSERT_GT(redirect(), 0);
    kelftest::kel_request(d, KEL_CLEAR);
    EXPECT_EQ(send(d).status(), 0);
    EXPECT_TRUE(fmsim_acl_rules(0, 0).empty());
}

}  // namespace
