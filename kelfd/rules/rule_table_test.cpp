// The rule tables: ids, slots, capacity, and the commands that work from the
// tables (remove, clear, query, list, count), with every failure leaving the
// tables and the switch in step.
#include "rule_test_util.h"

namespace {

using ruletest::request;
using ruletest::rule;

class RuleTable : public ruletest::RuleTest {};

constexpr int kDrop = 2;

TEST_F(RuleTable, AutomaticIdsCountUpAndStartAgainAfterAClear) {
    EXPECT_EQ(add(kDrop, 0, 0), 1);
    EXPECT_EQ(add(kDrop, 0, 0), 2);
    EXPECT_EQ(add(kDrop, 1, 0), 1) << "each group counts on its own";
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), 0);
    EXPECT_EQ(kel_entry_remove_fn(0, 2, 0), 0);
    EXPECT_EQ(add(kDrop, 0, 0), 3) << "removing rules does not give their ids back";
    EXPECT_EQ(kel_clear_fn(0), 0);
    EXPECT_EQ(add(kDrop, 0, 0), 1);
    EXPECT_EQ(add(kDrop, 1, 0), 1);
    expect_in_step();
}

TEST_F(RuleTable, AutomaticIdsNeverRepeatAnIdTheGroupHolds) {
    kel_cur_rule[0][0] = 4;
    ASSERT_EQ(add(kDrop, 0, 5), 5);
    EXPECT_EQ(add(kDrop, 0, 0), 6);
    // An id held in a lower slot than the one that pushed the counter on.
    kelf::rules::reset_tables();
    fmsim_reset();
    ASSERT_EQ(add(kDrop, 0, 6), 6);
    ASSERT_EQ(add(kDrop, 0, 5), 5);
    kel_cur_rule[0][0] = 4;
    EXPECT_EQ(add(kDrop, 0, 0), 7);
    // The counter wraps from the largest automatic id to 1.
    kel_cur_rule[0][0] = 0xFFFFFF;
    EXPECT_EQ(add(kDrop, 0, 0), 1);
    kel_cur_rule[0][0] = 0xFFFFFE;
    ASSERT_EQ(add(kDrop, 0, 0xFFFFFF), 0xFFFFFF);
    EXPECT_EQ(add(kDrop, 0, 0), 2) << "skips 16777215 and the 1 held after the wrap";
    expect_in_step();
}

TEST_F(RuleTable, ExplicitIdsAreUniquePerGroup) {
    ASSERT_EQ(add(kDrop, 0, 7), 7);
    capture();
    EXPECT_EQ(add(kDrop, 0, 7), -1);
    EXPECT_EQ(captured(), "Rule exist!");
    EXPECT_EQ(add(kDrop, 1, 7), 7);
    EXPECT_EQ(add(kDrop, 0, 70000), 70000) << "ids given by the client are used as given";
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{7, 70000}));
    expect_in_step();
}

TEST_F(RuleTable, AFailedAddGivesBackOnlyAnAutomaticId) {
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(add(kDrop, 0, 0), i);
    fmsim_fail("fmAddACLRuleExt", fmsim_calls("fmAddACLRuleExt") + 1);
    capture();
    EXPECT_EQ(add(kDrop, 0, 0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_add_rule_fn: kel: Failed adding ACL (acl:0 msg:Failure)"),
              std::string::npos)
        << out;
    EXPECT_EQ(kel_cur_rule[0][0], 3);
    fmsim_fail("fmAddACLRuleExt", fmsim_calls("fmAddACLRuleExt") + 1);
    EXPECT_EQ(add(kDrop, 0, 100), -1);
    EXPECT_EQ(kel_cur_rule[0][0], 3) << "an explicit id never moved the counter";
    EXPECT_EQ(add(kDrop, 0, 0), 4);
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 2, 3, 4}));
    expect_in_step();
}

TEST_F(RuleTable, AGroupHolds4096RulesAndReusesTheLowestFreeSlot) {
    for (int i = 1; i <= KEL_MAX_RULES; ++i) ASSERT_EQ(add(kDrop, 3, 0), i);
    capture();
    EXPECT_EQ(add(kDrop, 3, 0), -1);
    EXPECT_EQ(captured(), "kel: rule stack overflow!\n");
    EXPECT_EQ(add(kDrop, 3, 5000), -1) << "an explicit id does not get past a full group";
    EXPECT_EQ(kel_cur_rule[0][3], KEL_MAX_RULES);

    ASSERT_EQ(kel_entry_remove_fn(0, 11, 3), 0);  // slot 10
    ASSERT_EQ(kel_entry_remove_fn(0, 3, 3), 0);   // slot 2
    EXPECT_EQ(add(kDrop, 3, 0), KEL_MAX_RULES + 1);
    EXPECT_EQ(add(kDrop, 3, 0), KEL_MAX_RULES + 2);
    std::vector<int> ids = table_ids(0, 3);
    ASSERT_EQ(ids.size(), static_cast<size_t>(KEL_MAX_RULES));
    EXPECT_EQ(ids[2], KEL_MAX_RULES + 1);
    EXPECT_EQ(ids[10], KEL_MAX_RULES + 2);
    expect_in_step();
}

TEST_F(RuleTable, ListShowsSlotOrderAndTheLow16BitsOfEachId) {
    ASSERT_EQ(add(kDrop, 4, 10), 10);
    ASSERT_EQ(add(kDrop, 4, 70000), 70000);
    ASSERT_EQ(add(kDrop, 4, 30), 30);
    ASSERT_EQ(kel_entry_remove_fn(0, 70000, 4), 0);
    ASSERT_EQ(add(kDrop, 4, 5), 5);

    if_kel_t r = request(KEL_ENTRY_QUERY_LIST);
    r.group = 4;
    for (int i = 0; i < 6; ++i) r.kel_query_list.kel_id_list.id_list[i] = 0xBEEF;
    std::vector<unsigned char> reply = dispatch(r);
    ASSERT_EQ(reply.size(), sizeof(kel_query_list_t));
    kel_query_list_t list;
    std::memcpy(&list, reply.data(), sizeof list);
    EXPECT_EQ(+list.ret, 0);
    ASSERT_EQ(+list.kel_id_list.rule_num, 3u);
    EXPECT_EQ(+list.kel_id_list.id_list[0], 10);
    EXPECT_EQ(+list.kel_id_list.id_list[1], 5);
    EXPECT_EQ(+list.kel_id_list.id_list[2], 30);
    EXPECT_EQ(+list.kel_id_list.id_list[3], 0xBEEF) << "entries past rule_num are the client's";

    ASSERT_EQ(add(kDrop, 5, 70000), 70000);
    r.group = 5;
    reply = dispatch(r);
    std::memcpy(&list, reply.data(), sizeof list);
    EXPECT_EQ(+list.kel_id_list.id_list[0], 4464);

    r.unit = 2;  // not brought up
    r.kel_query_list.kel_id_list.rule_num = 77;
    reply = dispatch(r);
    std::memcpy(&list, reply.data(), sizeof list);
    EXPECT_EQ(+list.ret, -1);
    EXPECT_EQ(+list.kel_id_list.rule_num, 77u);
}

TEST_F(RuleTable, QueryOfAMissingIdEchoesTheRequest) {
    ASSERT_EQ(add(kDrop, 0, 0), 1);
    if_kel_t r = request(KEL_ENTRY_QUERY);
    r.kel_mem.rule_id = 9;
    for (size_t i = 8; i < sizeof r.kel_mem; ++i) reinterpret_cast<unsigned char *>(&r.kel_mem)[i] = 0xA5;
    std::vector<unsigned char> reply = dispatch(r);
    ASSERT_EQ(reply.size(), sizeof(kel_query_rule_t));
    EXPECT_EQ(std::memcmp(reply.data(), &r.kel_mem, sizeof r.kel_mem), 0);
    int ret;
    std::memcpy(&ret, reply.data() + sizeof r.kel_mem, 4);
    EXPECT_EQ(ret, 0);
}

TEST_F(RuleTable, CounterReadsTheSwitchForAHeldIdOnly) {
    ASSERT_EQ(add(kDrop, 6, 42, 3), 42);
    ASSERT_TRUE(fmsim_acl_set_frames(0, 6, 42, 0x1234567890ULL));
    auto count = [&](int unit, int group, int id) {
        if_kel_t r = request(KEL_GET_CNT, unit);
        r.kel_mem.group = group;
        r.rule_id = id;
        r.kel_rule_stat.ret_val = 55;
        r.kel_rule_stat.kel_rule_stat_cnt.counter = 99;
        std::vector<unsigned char> reply = dispatch(r);
        EXPECT_EQ(reply.size(), 12u);
        kel_rule_stat_t st{};
        std::memcpy(&st, reply.data(), std::min(reply.size(), sizeof st));
        return st;
    };
    kel_rule_stat_t st = count(0, 6, 42);
    EXPECT_EQ(+st.kel_rule_stat_cnt.counter, 0x1234567890ULL);
    EXPECT_EQ(+st.ret_val, 0);
    for (auto [unit, group, id] : {std::tuple{0, 6, 43}, {0, 7, 42}, {2, 6, 42}, {-1, 6, 42},
                                   {0, 32, 42}, {0, -1, 42}}) {
        st = count(unit, group, id);
        EXPECT_EQ(+st.kel_rule_stat_cnt.counter, 0u) << unit << "/" << group << "/" << id;
        EXPECT_EQ(+st.ret_val, -1) << unit << "/" << group << "/" << id;
    }
    fmsim_fail("fmGetACLCount", fmsim_calls("fmGetACLCount") + 1, FM_ERR_INVALID_ACL_RULE);
    st = count(0, 6, 42);
    EXPECT_EQ(+st.ret_val, FM_ERR_INVALID_ACL_RULE) << "the switch's status goes back as it is";
}

TEST_F(RuleTable, EveryCommandRefusesAUnitOrGroupOutsideItsTables) {
    ASSERT_EQ(add(kDrop, 0, 0), 1);
    for (auto [unit, group] : {std::pair{-1, 0}, {2, 0}, {8, 0}, {0x7FFFFFFF, 0}, {0, -1},
                               {0, 32}, {0, 0x7FFFFFFF}, {0, -0x7FFFFFFF - 1}}) {
        SCOPED_TRACE(testing::Message() << unit << "/" << group);
        if_kel_t r = rule(group, 0, 3);
        r.unit = unit;
        EXPECT_EQ(kel_add_rule_fn(kDrop, &r), -1);
        EXPECT_EQ(kel_entry_remove_fn(unit, 1, group), -1);
        kel_mem_t m = r.kel_mem;
        EXPECT_EQ(kel_entry_query_fn(unit, &m), -1);
        EXPECT_EQ(std::memcmp(&m, &r.kel_mem, sizeof m), 0);
        EXPECT_EQ(kel_entry_query_list_fn(unit, group, &r.kel_query_list), -1);
        if (group == 0) EXPECT_EQ(kel_clear_fn(unit), -1);
    }
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{1});
    expect_in_step();
}

TEST_F(RuleTable, RemoveKeepsTableAndSwitchInStepWhateverFails) {
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(add(kDrop, 0, 0), i);
    EXPECT_EQ(kel_entry_remove_fn(0, 99, 0), 0) << "no rule with the id is no failure";

    fmsim_fail("fmDeleteACLRule");
    capture();
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), -1);
    EXPECT_EQ(captured(), "delete rule state failed!\n");
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 2, 3, 4}));
    expect_in_step();

    fmsim_fail("fmCompileACL", fmsim_calls("fmCompileACL") + 1);
    capture();
    EXPECT_EQ(kel_entry_remove_fn(0, 2, 0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_entry_remove_fn: kel: Failed compiling ACL (status: msg:Failure)"),
              std::string::npos)
        << out;
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 3, 4})) << "the switch dropped it already";
    expect_in_step();

    fmsim_fail("fmApplyACL", fmsim_calls("fmApplyACL") + 1);
    capture();
    EXPECT_EQ(kel_entry_remove_fn(0, 3, 0), -1);
    out = captured();
    EXPECT_NE(out.find("kel_entry_remove_fn: kel: Failed applying ACL (msg:Failure)"),
              std::string::npos)
        << out;
    EXPECT_EQ(table_ids(0, 0), (std::vector<int>{1, 4}));
    expect_in_step();

    EXPECT_EQ(kel_entry_remove_fn(0, 4, 0), 0);
    EXPECT_TRUE(fmsim_acl_in_force(0));
}

TEST_F(RuleTable, ARedirectRuleGoesOnlyWhileItsPortAnswers) {
    if_kel_t r = rule(0, 0, 3);
    r.kel_mem.redir_port = 7;
    ASSERT_EQ(add(32768, r), 1);
    fmsim_fail("fmGetPortState");
    capture();
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), -1);
    EXPECT_EQ(captured(), "fmGetPortState: Failure\n");
    EXPECT_EQ(fmsim_calls("fmDeleteACLRule"), 0u);
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{1});
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), 0);
    expect_in_step();
}

TEST_F(RuleTable, ClearEmptiesEveryGroupAndStopsAtTheFirstFailure) {
    // Groups 0, 5 and 9 with three rules each, on both units.
    for (int unit : {0, 1})
        for (int g : {0, 5, 9})
            for (int i = 0; i < 3; ++i) {
                if_kel_t r = rule(g, 0);
                r.unit = unit;
                ASSERT_GT(kel_add_rule_fn(kDrop, &r), 0);
            }
    // The fifth compile of the clear is the second rule of group 5 (slot 1;
    // slots go from the top down).
    fmsim_fail("fmCompileACL", fmsim_calls("fmCompileACL") + 5);
    capture();
    EXPECT_EQ(kel_clear_fn(0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_clear_fn: kel: Failed compiling ACL"), std::string::npos) << out;
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{});
    EXPECT_EQ(kel_cur_rule[0][0], 0);
    EXPECT_EQ(table_ids(0, 5), std::vector<int>{1});
    EXPECT_EQ(kel_cur_rule[0][5], 3) << "an unfinished group keeps its counter";
    EXPECT_EQ(table_ids(0, 9), (std::vector<int>{1, 2, 3}));
    expect_in_step(0);

    fmsim_fail("fmDeleteACLRule", fmsim_calls("fmDeleteACLRule") + 1);
    capture();
    EXPECT_EQ(kel_clear_fn(0), -1);
    EXPECT_EQ(captured(), "delete rule state failed!\n");
    EXPECT_EQ(table_ids(0, 5), std::vector<int>{1});
    expect_in_step(0);

    EXPECT_EQ(kel_clear_fn(0), 0);
    for (int g : {0, 5, 9}) {
        EXPECT_EQ(table_ids(0, g), std::vector<int>{});
        EXPECT_TRUE(fmsim_acl_exists(0, g)) << "an emptied group keeps its ACL";
        EXPECT_EQ(table_ids(1, g), (std::vector<int>{1, 2, 3})) << "the other unit is untouched";
    }
    EXPECT_TRUE(fmsim_acl_in_force(0));
    expect_in_step(0);
    expect_in_step(1);
}

}  // namespace
