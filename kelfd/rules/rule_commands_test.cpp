// The commands that work from the rule tables (remove, clear, query, list,
// count), with every failure leaving the tables and the switch in step.
#include "testing/rule_fixture.h"

namespace {

using kelftest::request;
using kelftest::rule;
using kelftest::RuleTable;
using Ids = std::vector<int>;
using Count = std::pair<std::uint64_t, int>;

TEST_F(RuleTable, ListAndQueryKeepWhatTheyDoNotWrite) {
    ASSERT_EQ(add(KEL_ACT_DROP, 4, 10), 10);
    if_kel_t r = request(KEL_ENTRY_QUERY_LIST);
    r.group = 4;
    r.kel_query_list.kel_id_list.rule_num = 77;
    r.kel_query_list.kel_id_list.id_list[1] = 0xBEEF;
    kel_query_list_t list;
    std::memcpy(&list, dispatch(r).data(), sizeof list);
    EXPECT_EQ(+list.kel_id_list.rule_num, 1u);
    EXPECT_EQ(+list.kel_id_list.id_list[1], 0xBEEF) << "entries past rule_num are the client's";
    r.unit = 2;  // not brought up
    std::memcpy(&list, dispatch(r).data(), sizeof list);
    EXPECT_EQ(+list.ret, -1);
    EXPECT_EQ(+list.kel_id_list.rule_num, 77u);

    auto fill = [](kel_mem_t &m) {
        std::memset(reinterpret_cast<char *>(&m) + 8, 0xA5, sizeof m - 8);
    };
    kel_query_rule_t q = query(4, 9, fill);
    kel_mem_t sent{};
    sent.group = 4;
    sent.rule_id = 9;
    fill(sent);
    EXPECT_EQ(std::memcmp(&q.kel_mem, &sent, sizeof sent), 0) << "a missing id echoes the request";
    EXPECT_EQ(+q.ret, 0);
}

TEST_F(RuleTable, CounterReadsTheSwitchForAHeldIdOnly) {
    ASSERT_EQ(add(KEL_ACT_DROP, 6, 42, 3), 42);
    ASSERT_TRUE(fmsim_acl_set_frames(0, 6, 42, 0x1234567890ULL));
    auto count = [&](int unit, int group, int id) {
        if_kel_t r = request(KEL_GET_CNT, unit);
        r.kel_mem.group = group;
        r.rule_id = id;
        r.kel_rule_stat.kel_rule_stat_cnt.counter = 99;
        std::vector<unsigned char> reply = dispatch(r);
        EXPECT_EQ(reply.size(), 12u);
        kel_rule_stat_t st{};
        std::memcpy(&st, reply.data(), std::min(reply.size(), sizeof st));
        return Count{+st.kel_rule_stat_cnt.counter, +st.ret_val};
    };
    EXPECT_EQ(count(0, 6, 42), Count(0x1234567890ULL, 0));
    for (auto [unit, group, id] :
         {std::tuple{0, 6, 43}, {0, 7, 42}, {2, 6, 42}, {-1, 6, 42}, {0, 32, 42}, {0, -1, 42}})
        EXPECT_EQ(count(unit, group, id), Count(0, -1)) << unit << "/" << group << "/" << id;
    fmsim_fail("fmGetACLCount", fmsim_calls("fmGetACLCount") + 1, FM_ERR_INVALID_ACL_RULE);
    EXPECT_EQ(count(0, 6, 42).second, FM_ERR_INVALID_ACL_RULE) << "the switch's status as it is";
}

TEST_F(RuleTable, EveryCommandRefusesAUnitOrGroupOutsideItsTables) {
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 0), 1);
    for (auto [unit, group] : {std::pair{-1, 0},
                               {2, 0},
                               {8, 0},
                               {0x7FFFFFFF, 0},
                               {0, -1},
                               {0, 32},
                               {0, -0x7FFFFFFF - 1}}) {
        SCOPED_TRACE(testing::Message() << unit << "/" << group);
        if_kel_t r = rule(group, 0, 3);
        r.unit = unit;
        EXPECT_EQ(kel_add_rule_fn(KEL_ACT_DROP, &r), -1);
        EXPECT_EQ(kel_entry_remove_fn(unit, 1, group), -1);
        EXPECT_EQ(kel_entry_query_fn(unit, &r.kel_mem), -1);
        EXPECT_EQ(kel_entry_query_list_fn(unit, group, &r.kel_query_list), -1);
        if (group == 0) {
            EXPECT_EQ(kel_clear_fn(unit), -1);
        }
    }
    EXPECT_EQ(table_ids(0, 0), Ids{1});
    expect_in_step();
}

TEST_F(RuleTable, RemoveKeepsTableAndSwitchInStepWhateverFails) {
    if_kel_t redirect = rule(0, 0, 3);
    redirect.kel_mem.redir_port = 7;
    ASSERT_EQ(add(KEL_ACT_REDIRECT, redirect), 1);
    for (int i = 2; i <= 4; ++i) ASSERT_EQ(add(KEL_ACT_DROP, 0, 0), i);
    EXPECT_EQ(kel_entry_remove_fn(0, 99, 0), 0) << "no rule with the id is no failure";

    struct Step {
        const char *op;
        int id;
        const char *out;
        Ids left;
    };
    for (const Step &s :
         {Step{"fmGetPortState", 1, "fmGetPortState: Failure\n", {1, 2, 3, 4}},
          Step{"fmDeleteACLRule", 1, "delete rule state failed!\n", {1, 2, 3, 4}},
          Step{"fmCompileACL",
               2,
               "kel_entry_remove_fn: kel: Failed compiling ACL (status: msg:Failure)",
               {1, 3, 4}},
          Step{"fmApplyACL",
               3,
               "kel_entry_remove_fn: kel: Failed applying ACL (msg:Failure)",
               {1, 4}}}) {
        SCOPED_TRACE(s.op);
        fmsim_fail(s.op, fmsim_calls(s.op) + 1);
        capture();
        EXPECT_EQ(kel_entry_remove_fn(0, s.id, 0), -1);
        std::string out = captured();
        EXPECT_NE(out.find(s.out), std::string::npos) << out;
        EXPECT_EQ(table_ids(0, 0), s.left);
        expect_in_step();
    }
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), 0);
    EXPECT_TRUE(fmsim_acl_in_force(0));
}

TEST_F(RuleTable, ClearEmptiesEveryGroupAndStopsAtTheFirstFailure) {
    for (int unit : {0, 1})
        for (int g : {0, 5, 9})
            for (int i = 0; i < 3; ++i) {
                if_kel_t r = rule(g, 0);
                r.unit = unit;
                ASSERT_GT(kel_add_rule_fn(KEL_ACT_DROP, &r), 0);
            }
    // The fifth compile is group 5's second rule: slots go from the top down.
    fmsim_fail("fmCompileACL", fmsim_calls("fmCompileACL") + 5);
    capture();
    EXPECT_EQ(kel_clear_fn(0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_clear_fn: kel: Failed compiling ACL"), std::string::npos) << out;
    EXPECT_EQ(table_ids(0, 0), Ids{});
    EXPECT_EQ(kel_cur_rule[0][0], 0);
    EXPECT_EQ(table_ids(0, 5), Ids{1});
    EXPECT_EQ(kel_cur_rule[0][5], 3) << "an unfinished group keeps its counter";
    EXPECT_EQ(table_ids(0, 9), (Ids{1, 2, 3}));
    expect_in_step(0);

    fmsim_fail("fmDeleteACLRule", fmsim_calls("fmDeleteACLRule") + 1);
    EXPECT_EQ(kel_clear_fn(0), -1);
    EXPECT_EQ(table_ids(0, 5), Ids{1});
    expect_in_step(0);

    EXPECT_EQ(kel_clear_fn(0), 0);
    for (int g : {0, 5, 9}) {
        EXPECT_EQ(table_ids(0, g), Ids{});
        EXPECT_TRUE(fmsim_acl_exists(0, g)) << "an emptied group keeps its ACL";
        EXPECT_EQ(table_ids(1, g), (Ids{1, 2, 3})) << "the other unit is untouched";
    }
    EXPECT_TRUE(fmsim_acl_in_force(0));
    expect_in_step(1);
}

}  // namespace
