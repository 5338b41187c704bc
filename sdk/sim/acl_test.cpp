// fmsim's ACLs and port sets refuse what a switch refuses.
#include <gtest/gtest.h>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_acl.h"

namespace {

class FmsimAcl : public testing::Test {
protected:
    void SetUp() override { fmsim_set_switches(1); }
    fm_aclValue value{};
    fm_aclParamExt param{};
};

TEST_F(FmsimAcl, RulesNeedTheirAclAUniqueNumberAndWhatTheyName) {
    EXPECT_EQ(fmAddACLRuleExt(0, 0, 1, 0, &value, FM_ACL_ACTIONEXT_COUNT, &param),
              FM_ERR_INVALID_ACL);
    ASSERT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_OK);
    EXPECT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_ERR_ALREADY_EXISTS);
    EXPECT_EQ(fmAddACLRuleExt(0, 0, 1, 0, &value, FM_ACL_ACTIONEXT_COUNT, &param), FM_OK);
    EXPECT_EQ(fmAddACLRuleExt(0, 0, 1, 0, &value, FM_ACL_ACTIONEXT_DENY, &param),
              FM_ERR_ALREADY_EXISTS);
    EXPECT_EQ(fmAddACLRuleExt(0, 0, -1, 0, &value, 0, &param), FM_ERR_INVALID_ACL_RULE);
    value.portSet = 3;
    EXPECT_EQ(fmAddACLRuleExt(0, 0, 2, FM_ACL_MATCH_INGRESS_PORT_SET, &value, 0, &param),
              FM_ERR_INVALID_PORT_SET);
    param.logicalPort = 50004;
    EXPECT_EQ(fmAddACLRuleExt(0, 0, 2, 0, &value, FM_ACL_ACTIONEXT_REDIRECT, &param),
              FM_ERR_INVALID_PORT);
    EXPECT_EQ(fmsim_acl_rules(0, 0), std::vector<int>{1});
    FmsimAclRule r{};
    ASSERT_TRUE(fmsim_acl_rule(0, 0, 1, &r));
    EXPECT_EQ(r.action, FM_ACL_ACTIONEXT_COUNT) << "the refused duplicate changed nothing";

    EXPECT_FALSE(fmsim_acl_in_force(0));
    char text[8];
    EXPECT_EQ(fmCompileACL(0, text, sizeof text, 0), FM_OK);
    EXPECT_STREQ(text, "compile") << "the status text is cut to its buffer";
    EXPECT_EQ(fmApplyACL(0, 0), FM_OK);
    EXPECT_TRUE(fmsim_acl_in_force(0));

    fm_uint64 frames = 1;
    ASSERT_TRUE(fmsim_acl_set_frames(0, 0, 1, 12));
    EXPECT_EQ(fmGetACLCount(0, 0, 1, &frames), FM_OK);
    EXPECT_EQ(frames, 12u);
    EXPECT_EQ(fmDeleteACLRule(0, 0, 1), FM_OK);
    EXPECT_EQ(fmDeleteACLRule(0, 0, 1), FM_ERR_INVALID_ACL_RULE);
    EXPECT_EQ(fmGetACLCount(0, 0, 1, &frames), FM_ERR_INVALID_ACL_RULE);
    EXPECT_FALSE(fmsim_acl_in_force(0));
}

TEST_F(FmsimAcl, CountsTheCompilesAndAppliesThatSucceeded) {
    ASSERT_EQ(fmCreateACLExt(0, 0, 0x43F7, 0), FM_OK);
    ASSERT_EQ(fmAddACLRuleExt(0, 0, 1, 0, &value, FM_ACL_ACTIONEXT_COUNT, &param), FM_OK);
    ASSERT_EQ(fmAddACLRuleExt(0, 0, 2, 0, &value, FM_ACL_ACTIONEXT_DENY, &param), FM_OK);
    EXPECT_EQ(fmCompileACL(0, nullptr, 0, 0), FM_OK);
    EXPECT_EQ(fmApplyACL(0, 0), FM_OK);
    EXPECT_EQ(fmCompileACL(0, nullptr, -1, 0), FM_ERR_INVALID_ARGUMENT);
    fmsim_fail("fmCompileACL", fmsim_calls("fmCompileACL") + 1);
    fmsim_fail("fmApplyACL", fmsim_calls("fmApplyACL") + 1);
    EXPECT_NE(fmCompileACL(0, nullptr, 0, 0), FM_OK);
    EXPECT_NE(fmApplyACL(0, 0), FM_OK);
    EXPECT_EQ(fmCompileACL(1, nullptr, 0, 0), FM_ERR_INVALID_SWITCH);

    FmsimAclStats st{};
    ASSERT_TRUE(fmsim_acl_stats(0, &st));
    EXPECT_EQ(st.compiles, 1u) << "refused compiles are not counted";
    EXPECT_EQ(st.applies, 1u) << "refused applies are not counted";
    EXPECT_EQ(st.rules, 2u);
    EXPECT_FALSE(fmsim_acl_stats(1, &st));
    fmsim_reset();
    ASSERT_TRUE(fmsim_acl_stats(0, &st));
    EXPECT_EQ(st.compiles + st.applies, 0u) << "a reset switch starts counting again";
}

TEST_F(FmsimAcl, APortSetInUseStays) {
    fm_int ps = -1, first = 0;
    ASSERT_EQ(fmCreatePortSet(0, &ps), FM_OK);
    EXPECT_EQ(fmGetPortSetPortFirst(0, ps, &first), FM_ERR_NO_MORE);
    EXPECT_EQ(fmAddPortSetPort(0, ps, 49), FM_ERR_INVALID_PORT);
    ASSERT_EQ(fmAddPortSetPort(0, ps, 44), FM_OK);
    ASSERT_EQ(fmAddPortSetPort(0, ps, 42), FM_OK);
    EXPECT_EQ(fmGetPortSetPortFirst(0, ps, &first), FM_OK);
    EXPECT_EQ(first, 42);
    ASSERT_EQ(fmCreateACLExt(0, 5, 0x43F7, 0), FM_OK);
    value.portSet = ps;
    ASSERT_EQ(fmAddACLRuleExt(0, 5, 1, FM_ACL_MATCH_INGRESS_PORT_SET, &value, 0, &param), FM_OK);
    EXPECT_EQ(fmDeletePortSet(0, ps), FM_ERR_INVALID_STATE);
    ASSERT_EQ(fmDeleteACLRule(0, 5, 1), FM_OK);
    EXPECT_EQ(fmDeletePortSet(0, ps), FM_OK);
    EXPECT_FALSE(fmsim_port_set_exists(0, ps));
}

}  // namespace
