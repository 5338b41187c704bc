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

}  // namespace
