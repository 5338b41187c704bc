// Installation: the group's ACL made by its first rule, and an add whose
// rule does not come into force leaving the tables and the switch in step.
#include "testing/rule_fixture.h"

namespace {

using kelftest::rule;
using kelftest::RuleAction;

TEST_F(RuleAction, TheFirstRuleOfAGroupCreatesItsAcl) {
    ASSERT_EQ(add(KEL_ACT_PERMIT, 3, 0), 1);
    std::uint32_t scenarios = 0;
    int precedence = -1;
    ASSERT_TRUE(fmsim_acl_args(0, 3, &scenarios, &precedence));
    EXPECT_EQ(scenarios, 0x43F7u);
    EXPECT_EQ(precedence, 0);
    ASSERT_EQ(add(KEL_ACT_PERMIT, 3, 0), 2);
    EXPECT_EQ(fmsim_calls("fmCreateACLExt"), 1u);
    EXPECT_TRUE(fmsim_acl_in_force(0));

    fmsim_fail("fmCreateACLExt", 2, FM_ERR_NO_MEM);
    capture();
    EXPECT_EQ(add(KEL_ACT_PERMIT, 4, 0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_add_rule_fn: kel: Failed creating ACL (acl:4 msg:Out of memory)"),
              std::string::npos)
        << out;
    EXPECT_EQ(add(KEL_ACT_PERMIT, 4, 0), 1);
    expect_in_step();
}

TEST_F(RuleAction, ARuleThatDoesNotComeIntoForceLeavesTableAndSwitch) {
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 0), 1);
    for (const char *op : {"fmCompileACL", "fmApplyACL"}) {
        SCOPED_TRACE(op);
        fmsim_fail(op, fmsim_calls(op) + 1, FM_ERR_ACL_COMPILE);
        capture();
        EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), -1);
        std::string out = captured();
        EXPECT_NE(out.find(op[2] == 'C' ? "kel: Failed compiling ACL (status: msg:ACL compilation"
                                        : "kel: Failed applying ACL (msg:ACL compilation"),
                  std::string::npos)
            << out;
        EXPECT_EQ(kel_cur_rule[0][0], 1);
        EXPECT_EQ(+query(0, 2).kel_mem.rule_act, 0) << "the failed rule is not queryable";
        expect_in_step();
    }

    // When the switch will not let the rule go either, the table keeps it
    // so the two still agree, and the client can remove it.
    fmsim_fail("fmCompileACL", fmsim_calls("fmCompileACL") + 1);
    fmsim_fail("fmDeleteACLRule", fmsim_calls("fmDeleteACLRule") + 1);
    capture();
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("set rule state failed!\n"), std::string::npos) << out;
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 2}));
    expect_in_step();
    EXPECT_EQ(kel_entry_remove_fn(0, 2, 0), 0);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 3);
    EXPECT_TRUE(fmsim_acl_in_force(0));

    if_kel_t r = rule(0, 0, 3);
    r.kel_mem.redir_port = 49;
    capture();
    EXPECT_EQ(add(KEL_ACT_REDIRECT, r), -1);
    out = captured();
    EXPECT_NE(out.find("Failed adding ACL (acl:0 msg:Invalid port number)"), std::string::npos)
        << out << "the switch refuses a redirect to a port it does not have";
    expect_in_step();
}

}  // namespace
