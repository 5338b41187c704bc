// Actions: what each action code stores, sets up on the switch and queries
// back as.
#include "fmsim_mirror.h"
#include "fmsim_vlan.h"
#include "testing/rule_fixture.h"

namespace {

using kelftest::request;
using kelftest::rule;
using kelftest::RuleAction;

TEST_F(RuleAction, EachCodeStoresItsActionAndAQueryReportsIt) {
    ASSERT_EQ(fmCreateMirror(0, 5, 10, FM_MIRROR_TYPE_INGRESS), FM_OK);  // the mirror rules' own
    struct Case {
        int cmd, code;  // code: for KEL_SET_RULE
        fm_aclActionExt stored;
        int rule_act, redir_port, mirror_port;  // -7: as the query sent it
    };
    constexpr int R = KEL_ACT_REDIRECT, M = KEL_ACT_MIRROR, U = KEL_ACT_SET_USER, L = KEL_ACT_LBG,
                  S = KEL_ACT_SET_SWITCH_PRI, V = KEL_ACT_SET_VLAN;
    const Case cases[] = {
        {KEL_SET_DROP, 0, 0x22, KEL_ACT_DROP, -7, -7},
        {KEL_SET_PERMIT, 0, 0x21, KEL_ACT_PERMIT, -7, -7},
        {KEL_SET_DIR, 0, 0x8021, R, 3, -7},
        {KEL_SET_MIR, 0, 0x100020, M, -7, 5},
        {KEL_SET_RULE, 0, 0x20, -7, -7, -7},
        {KEL_SET_RULE, R | V, 0x8121, R, 3, -7},
        {KEL_SET_RULE, U | R, 0x1020, -7, -7, -7},
        {KEL_SET_RULE, U | M, 0x100020, M, -7, 5},
        {KEL_SET_RULE, L | S, 0x2420, L, 3, -7},
        {KEL_SET_RULE, S, 0x420, S, -7, -7},
        {KEL_SET_RULE, 0x40000, 0x40020, -7, -7, -7},  // a bit no step knows is passed on
    };
    int id = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << c.cmd << " code " << c.code);
        if_kel_t r = request(c.cmd);
        r.action = c.code;
        r.kel_mem.redir_port = 3;
        r.kel_mem.mirror_port = 0x105;
        r.kel_mem.vlan_act = 0x10064;
        r.kel_mem.user_act = 0x1F7;
        ASSERT_EQ(dispatch_status(r), ++id);
        FmsimAclRule s = on_switch(0, id);
        EXPECT_EQ(s.action, c.stored);
        // Every bit of the code writes its parameter, whatever the stored
        // action ends as.
        int code = c.cmd == KEL_SET_DIR   ? KEL_ACT_REDIRECT
                   : c.cmd == KEL_SET_MIR ? KEL_ACT_MIRROR
                                          : c.code;
        EXPECT_EQ(s.param.logicalPort, code & KEL_ACT_REDIRECT ? 3 : 0);
        EXPECT_EQ(s.param.lbgNumber, code & KEL_ACT_LBG ? 3 : 0);
        EXPECT_EQ(s.param.mirrorGrp, code & KEL_ACT_MIRROR ? 5 : 0);
        EXPECT_EQ(s.param.vlan, code & KEL_ACT_SET_VLAN ? 0x64 : 0);
        EXPECT_EQ(s.param.switchPriority, code & KEL_ACT_SET_SWITCH_PRI ? 0xF7 : 0);
        EXPECT_EQ(s.param.user, code & KEL_ACT_SET_USER ? 0xF7 : 0);
        EXPECT_EQ(s.param.userMask, code & KEL_ACT_SET_USER ? 0x0F : 0);

        kel_mem_t m = query(0, id, [](kel_mem_t &q) {
                          q.rule_act = q.redir_port = q.mirror_port = -7;
                      }).kel_mem;
        EXPECT_EQ(+m.rule_act, c.rule_act);
        EXPECT_EQ(+m.redir_port, c.redir_port);
        EXPECT_EQ(+m.mirror_port, c.mirror_port);
        EXPECT_EQ(+m.user_act, code & KEL_ACT_SET_SWITCH_PRI ? 0xF7 : 0);
    }
    expect_in_step();
}

TEST_F(RuleAction, VlanPriorityTurnsOnTxVpriOnEightPorts) {
    if_kel_t r = rule(0, 0);
    r.kel_mem.vlan_pri_act = 0x305;
    fmsim_fail("fmSetPortAttribute", 2, FM_ERR_INVALID_PORT);
    capture();
    EXPECT_EQ(add(KEL_ACT_SET_VLAN_PRI, r), -1) << "a port that cannot update refuses the rule";
    const std::string ok = " fmSetPortAttribute:Success \n";
    EXPECT_EQ(captured(), "!!!1:" + ok + "!!!2: fmSetPortAttribute:Invalid port number \n" +
                              "!!!7:" + ok + "!!!8:" + ok + "!!!1:" + ok + "!!!2:" + ok +
                              "!!!7:" + ok + "!!!8:" + ok);
    for (int p : {3, 5, 6, 9, 10, 1, 2, 7, 8}) {
        std::int32_t v = -1;
        ASSERT_TRUE(fmsim_port_attr(0, p, FM_PORT_TXVPRI, &v));
        EXPECT_EQ(v, p == 3 || p == 6 ? FALSE : TRUE) << p;
    }
    EXPECT_FALSE(fmsim_acl_rule(0, 0, 1, nullptr));
    ASSERT_EQ(add(KEL_ACT_SET_VLAN_PRI, r), 1);
    EXPECT_EQ(on_switch(0, 1).action, 0x220u);
    EXPECT_EQ(on_switch(0, 1).param.vlanPriority, 5);
}

TEST_F(RuleAction, UserBitsPutEveryCardPortIntoVlan2) {
    fmsim_fail("fmMapCardinalPort", 5);  // index 5
    capture();
    ASSERT_EQ(add(KEL_ACT_SET_USER, 0, 0), 1);
    const std::string tags =
        "!!!1: fmSetPortAttribute:Success \n!!!2: fmSetPortAttribute:Success \n"
        "!!!7: fmSetPortAttribute:Success \n!!!8: fmSetPortAttribute:Success \n";
    EXPECT_EQ(captured(), "fmMapCardinalPort error\n" + tags);
    for (int p = 0; p <= 48; ++p) {
        FmsimVlanMember m = fmsim_vlan_member(0, 2, p);
        bool in = p != 0 && p != 5;
        EXPECT_EQ(m.member && m.tagged && m.stp_state == FM_STP_STATE_FORWARDING, in) << p;
    }
    for (int p : {1, 2, 7, 8}) {
        std::int32_t v = 0;
        ASSERT_TRUE(fmsim_port_attr(0, p, FM_PORT_ISL_TAG_FORMAT, &v));
        EXPECT_EQ(v, FM_ISL_TAG_F64) << p;
    }

    // Without the switch's information the port loop does not run.
    fmsim_fail("fmGetSwitchInfo", fmsim_calls("fmGetSwitchInfo") + 1);
    std::uint64_t maps = fmsim_calls("fmMapCardinalPort");
    capture();
    ASSERT_EQ(add(KEL_ACT_SET_USER, 0, 0), 2);
    EXPECT_EQ(captured(), tags);
    EXPECT_EQ(fmsim_calls("fmMapCardinalPort"), maps);
}

TEST_F(RuleAction, AMirrorRuleOpensItsMirrorToRules) {
    ASSERT_EQ(fmCreateMirror(0, 5, 10, FM_MIRROR_TYPE_INGRESS), FM_OK);
    ASSERT_FALSE(fmsim_mirror(0, 5).acl);
    if_kel_t r = rule(0, 0, 3);
    r.kel_mem.mirror_port = 5;
    ASSERT_EQ(add(KEL_ACT_MIRROR, r), 1);
    EXPECT_TRUE(fmsim_mirror(0, 5).acl);
    EXPECT_EQ(on_switch(0, 1).param.mirrorGrp, 5);
    r.kel_mem.mirror_port = 6;  // no such mirror: its frames would go nowhere
    capture();
    EXPECT_EQ(add(KEL_ACT_MIRROR, r), -1);
    EXPECT_EQ(captured(), "mirror 6 cannot take rule copies: fmSetMirrorAttribute:" +
                              std::string(fmErrorMsg(FM_ERR_INVALID_MIRROR)) + "\n");
    EXPECT_EQ(kel_cur_rule[0][0], 1);
}

}  // namespace
