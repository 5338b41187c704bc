// Rules through the real kelfd over its socket: add, query, list, count,
// remove and clear, with the replies' sizes as a client reads them.
#include <gtest/gtest.h>

#include <cstring>

#include "daemon_process.h"
#include "testing/requests.h"

namespace {

using kelftest::DaemonProcess;
using kelftest::request;

int status(const kelfclient::Client &c, const if_kel_t &r) {
    std::int32_t v = 0x7eadbeef;
    EXPECT_TRUE(c.status(&r, sizeof r, &v));
    return v;
}

TEST(RulesOverTheSocket, ARedirectRuleLivesFromAddToClear) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    if_kel_t add = request(KEL_SET_DIR);
    add.kel_mem.port = 3;
    add.kel_mem.redir_port = 7;
    EXPECT_EQ(status(c, add), 1);
    EXPECT_EQ(status(c, add), 2);

    if_kel_t ask = request(KEL_ENTRY_QUERY);
    ask.kel_mem.rule_id = 2;
    kel_query_rule_t q;
    ASSERT_TRUE(c.call(&ask, sizeof ask, &q, sizeof q));
    EXPECT_EQ(+q.kel_mem.rule_act, KEL_ACT_REDIRECT);
    EXPECT_EQ(+q.kel_mem.redir_port, 7);
    if_kel_t list = request(KEL_ENTRY_QUERY_LIST);
    kel_query_list_t l;
    ASSERT_TRUE(c.call(&list, sizeof list, &l, sizeof l));
    EXPECT_EQ(+l.kel_id_list.rule_num, 2u);
    if_kel_t cnt = request(KEL_GET_CNT);
    cnt.rule_id = 1;
    kel_rule_stat_t st;
    ASSERT_TRUE(c.call(&cnt, sizeof cnt, &st, sizeof st));
    EXPECT_EQ(+st.ret_val, 0);

    if_kel_t rm = request(KEL_ENTRY_REMOVE);
    rm.rule_id = 1;
    EXPECT_EQ(status(c, rm), 0);
    EXPECT_EQ(status(c, request(KEL_CLEAR)), 0);
    EXPECT_EQ(status(c, add), 1) << "a cleared group counts from 1 again";
}

TEST(RulesOverTheSocket, AnSdkFailureIsLoggedAndRefused) {
    DaemonProcess::Options o;
    o.env["FMSIM_FAIL"] = "fmAddACLRuleExt=9";
    DaemonProcess d(o);
    if_kel_t add = request(KEL_SET_DROP);
    add.kel_mem.group = 31;
    EXPECT_EQ(status(d.client(), add), -1);
    EXPECT_TRUE(d.wait_out("kel_add_rule_fn: kel: Failed adding ACL (acl:31 msg:Invalid ACL)"))
        << d.out();
    EXPECT_EQ(status(d.client(), add), 1);
}

}  // namespace
