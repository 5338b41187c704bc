// The rule tables: automatic and explicit ids, slots and capacity.
#include <memory>
#include <random>

#include "testing/rule_fixture.h"

namespace {

using kelftest::request;
using kelftest::rule;
using kelftest::RuleTable;
using Ids = std::vector<int>;

TEST_F(RuleTable, AutomaticIdsCountUpSkipHeldIdsAndWrap) {
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 1);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 2);
    EXPECT_EQ(add(KEL_ACT_DROP, 1, 0), 1) << "each group counts on its own";
    EXPECT_EQ(kel_entry_remove_fn(0, 1, 0), 0);
    EXPECT_EQ(kel_entry_remove_fn(0, 2, 0), 0);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 3) << "removing rules does not give their ids back";
    EXPECT_EQ(kel_clear_fn(0), 0);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 1);

    // Held ids are skipped, also one in a lower slot than the id that
    // pushed the counter on (7 in slot 1, 6 in slot 2).
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 7), 7);
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 6), 6);
    kel_cur_rule[0][0] = 5;
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 8);
    kel_cur_rule[0][0] = 0xFFFE;
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 0xFFFF), 0xFFFF);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 2)
        << "wraps past 65535, the largest id a list carries, and the 1 held";
    // Explicit ids beyond 16 bits stay the caller's to choose, and never
    // move the automatic ones out of the list's range.
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 70000), 70000);
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 0x7FFFFFFF), 0x7FFFFFFF);
    kel_cur_rule[0][0] = 70000;
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 3);
    expect_in_step();
}

TEST_F(RuleTable, ExplicitIdsAreUniquePerGroupAndAFailedAddGivesBackOnlyAnAutomaticId) {
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 0), 1);
    ASSERT_EQ(add(KEL_ACT_DROP, 0, 7), 7);
    capture();
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 7), -1);
    EXPECT_EQ(captured(), "Rule exist!");
    EXPECT_EQ(add(KEL_ACT_DROP, 1, 7), 7);

    fmsim_fail("fmAddACLRuleExt", fmsim_calls("fmAddACLRuleExt") + 1);
    capture();
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), -1);
    std::string out = captured();
    EXPECT_NE(out.find("kel_add_rule_fn: kel: Failed adding ACL (acl:0 msg:Failure)"),
              std::string::npos)
        << out;
    EXPECT_EQ(kel_cur_rule[0][0], 1);
    fmsim_fail("fmAddACLRuleExt", fmsim_calls("fmAddACLRuleExt") + 1);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 100), -1);
    EXPECT_EQ(add(KEL_ACT_DROP, 0, 0), 2) << "an explicit id never moved the counter";
    EXPECT_EQ(table_ids(0, 0), (Ids{1, 7, 2}));
    expect_in_step();
}

TEST_F(RuleTable, AGroupHolds4096RulesListedInSlotOrder) {
    for (int i = 1; i <= KEL_MAX_RULES; ++i) ASSERT_EQ(add(KEL_ACT_DROP, 3, 0), i);
    capture();
    EXPECT_EQ(add(KEL_ACT_DROP, 3, 0), -1);
    EXPECT_EQ(add(KEL_ACT_DROP, 3, 5000), -1);
    EXPECT_EQ(captured(), "kel: rule stack overflow!\nkel: rule stack overflow!\n");

    ASSERT_EQ(kel_entry_remove_fn(0, 11, 3), 0);  // slot 10
    ASSERT_EQ(kel_entry_remove_fn(0, 3, 3), 0);   // slot 2
    EXPECT_EQ(add(KEL_ACT_DROP, 3, 0), 4097);
    EXPECT_EQ(add(KEL_ACT_DROP, 3, 70000), 70000);

    if_kel_t r = request(KEL_ENTRY_QUERY_LIST);
    r.group = 3;
    std::vector<unsigned char> reply = dispatch(r);
    ASSERT_EQ(reply.size(), sizeof(kel_query_list_t));
    kel_query_list_t list;
    std::memcpy(&list, reply.data(), sizeof list);
    EXPECT_EQ(+list.ret, 0);
    ASSERT_EQ(+list.kel_id_list.rule_num, 4096u);
    EXPECT_EQ(+list.kel_id_list.id_list[1], 2);
    EXPECT_EQ(+list.kel_id_list.id_list[2], 4097);
    EXPECT_EQ(+list.kel_id_list.id_list[10], 4464) << "id 70000 as its low 16 bits";
    EXPECT_EQ(+list.kel_id_list.id_list[4095], 4096);
    expect_in_step();
}

// The id index finds every id a group holds and none it gave up, whatever
// order rules leave in: ids that crowd one stretch of the index (multiples
// of a large power of two, negative ones) and removals that open holes in
// the middle of its runs.
TEST(RuleIdIndex, FindsHeldIdsOnlyAfterRemovalsInAnyOrder) {
    auto t = std::make_unique<kel_acl_t>();
    std::vector<int> ids;
    for (int k = 0; k < KEL_MAX_RULES; ++k) ids.push_back(k % 3 == 0 ? k << 19 : -k - 1);
    auto put = [&](int slot) {
        auto r = std::make_unique<kel_acl_rule_t>();
        r->rule_id = ids[static_cast<size_t>(slot)];
        t->put(slot, std::move(r));
    };
    for (int s = 0; s < KEL_MAX_RULES; ++s) put(s);
    ASSERT_TRUE(t->full());
    std::vector<int> order(ids.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<bool> held(ids.size(), true);
    for (std::size_t k = 0; k < 3000; ++k) {
        ASSERT_NE(t->take(order[k]), nullptr);
        held[static_cast<size_t>(order[k])] = false;
    }
    for (std::size_t k = 0; k < 500; ++k) put(order[k]), held[static_cast<size_t>(order[k])] = true;
    EXPECT_EQ(t->count(), KEL_MAX_RULES - 2500);
    for (int s = 0; s < KEL_MAX_RULES; ++s)
        ASSERT_EQ(t->find(ids[static_cast<size_t>(s)]), held[static_cast<size_t>(s)] ? s : -1)
            << "id " << ids[static_cast<size_t>(s)];
    EXPECT_EQ(t->find(12345), -1);
    t->reset();
    EXPECT_EQ(t->find(ids[0]), -1);
    EXPECT_EQ(t->count(), 0);
}

}  // namespace
