// Rule transactions through the dispatcher: nothing staged is in force
// before the commit, the commit brings all of it at once, and a commit the
// switch refuses leaves the unit as it was.
#include "rules/rule_txn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "fmsim.h"
#include "fmsim_forward.h"
#include "frame_builder.h"
#include "testing/rule_fixture.h"

namespace kelftest {
namespace {

class RuleTxn : public RuleTest {
public:
    // A request as the socket delivers it: extensions included.
    std::vector<unsigned char> run(const std::vector<unsigned char> &rec) {
        d_.clear();
        kelf::Reply r = d_.run(rec.data(), rec.size());
        const auto *p = static_cast<const unsigned char *>(r.data);
        return {p, p + r.size};
    }
    int run_status(const std::vector<unsigned char> &rec) {
        std::vector<unsigned char> b = run(rec);
        int v = -2;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }
    template <class T>
    static std::vector<unsigned char> bytes(const T &t) {
        const auto *p = reinterpret_cast<const unsigned char *>(&t);
        return {p, p + sizeof t};
    }
    int begin(int unit = 0) {
        kel_x_begin_t b{KEL_X_TXN_BEGIN, unit, 0};
        return run_status(bytes(b));
    }
    int end(int code, int token) {
        return run_status(bytes(kel_x_token_t{std::uint32_t(code), token}));
    }
    // A request of the command table staged in the transaction.
    int staged(int token, const if_kel_t &r) {
        std::vector<unsigned char> rec = bytes(kel_x_envelope_t{KEL_X_TXN, token});
        std::vector<unsigned char> inner = bytes(r);
        rec.insert(rec.end(), inner.begin(), inner.end());
        return run_status(rec);
    }
    static if_kel_t redirect(int id, int in, int to) {
        if_kel_t r = rule(0, id, in);
        r.kel_cmd = KEL_SET_DIR;
        r.kel_mem.redir_port = to;
        return r;
    }
    static if_kel_t removal(int id) {
        if_kel_t r = request(KEL_ENTRY_REMOVE);
        r.rule_id = id;
        return r;
    }
    // The rules a frame from port `in` meets: those in force.
    static std::vector<int> in_force(int in) {
        fmsimtest::FrameDef f;
        std::vector<std::uint8_t> frame = fmsimtest::build(f);
        FmsimParsedFrame parsed{};
        int vlan = 0;
        std::vector<FmsimAclHit> hits;
        EXPECT_TRUE(fmsim_classify(0, in, frame.data(), frame.size(), &parsed, &vlan, &hits));
        std::vector<int> ids;
        for (const FmsimAclHit &h : hits) ids.push_back(h.rule);
        return ids;
    }
};

TEST_F(RuleTxn, StagedChangesTakeForceTogetherAtTheCommitAndOutsideChangesWait) {
    ASSERT_EQ(dispatch_status(redirect(1, 3, 7)), 1);
    int tok = begin();
    ASSERT_GT(tok, 0);
    EXPECT_EQ(begin(), -1) << "one transaction per unit";
    EXPECT_EQ(staged(tok, removal(1)), 0);
    EXPECT_EQ(staged(tok, redirect(2, 3, 8)), 2);
    EXPECT_EQ(staged(tok, redirect(2, 4, 8)), -1) << "id 2 is staged already";
    // Another client: its change is refused, its reads see the unit as
    // committed, and so do frames.
    capture();
    EXPECT_EQ(dispatch_status(redirect(5, 4, 9)), -1);
    EXPECT_NE(captured().find("has a transaction open"), std::string::npos);
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{1});
    EXPECT_EQ(in_force(3), std::vector<int>{1});

    ASSERT_EQ(end(KEL_X_TXN_COMMIT, tok), 0);
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{2});
    EXPECT_EQ(in_force(3), std::vector<int>{2});
    expect_in_step();
    EXPECT_EQ(end(KEL_X_TXN_COMMIT, tok), -1) << "a token commits once";
    EXPECT_EQ(dispatch_status(redirect(5, 4, 9)), 5) << "the unit is free again";
}

TEST_F(RuleTxn, ACommitTheSwitchRefusesLeavesTheUnitAsItWas) {
    ASSERT_EQ(dispatch_status(redirect(1, 3, 7)), 1);
    for (const char *op : {"fmAddACLRuleExt", "fmCompileACL", "fmApplyACL"}) {
        SCOPED_TRACE(op);
        int tok = begin();
        ASSERT_GT(tok, 0);
        ASSERT_EQ(staged(tok, removal(1)), 0);
        ASSERT_EQ(staged(tok, redirect(3, 3, 9)), 3);
        fmsim_fail(op, fmsim_calls(op) + 1);
        capture();
        EXPECT_EQ(end(KEL_X_TXN_COMMIT, tok), -1);
        EXPECT_NE(captured().find("unit 0 is as before it"), std::string::npos);
        fmsim_fail_clear();
        EXPECT_EQ(table_ids(0, 0), std::vector<int>{1});
        EXPECT_EQ(in_force(3), std::vector<int>{1});
        expect_in_step();
    }
}

TEST_F(RuleTxn, AnAbortedOrAbandonedTransactionLeavesNothingStaged) {
    int tok = begin();
    // Staged rules on four PCI Express ports hold the unit's four port sets
    // until the transaction goes.
    for (int p = 41; p <= 44; ++p) ASSERT_GT(staged(tok, redirect(p, p, 7)), 0);
    ASSERT_EQ(end(KEL_X_TXN_ABORT, tok), 0);
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{});

    tok = begin();
    for (int p = 45; p <= 48; ++p) ASSERT_GT(staged(tok, redirect(p, p, 7)), 0);
    // No request for longer than the bound: the next look at the clock ends it.
    capture();
    kelf::rules::txn::expire(std::chrono::steady_clock::now() + std::chrono::hours(1));
    EXPECT_NE(captured().find("aborted: no request came"), std::string::npos);
    EXPECT_EQ(staged(tok, redirect(9, 3, 7)), -1);
    EXPECT_EQ(dispatch_status(redirect(41, 41, 7)), 41) << "every port set was freed";
    expect_in_step();
}

TEST_F(RuleTxn, CapacityAndAutomaticIdsCountWhatTheTransactionStaged) {
    for (int id = 1; id <= KEL_MAX_RULES; ++id) ASSERT_EQ(add(KEL_ACT_DROP, 0, id), id);
    int tok = begin();
    if_kel_t any = rule(0, 0);
    any.kel_cmd = KEL_SET_DROP;
    capture();
    EXPECT_EQ(staged(tok, any), -1);
    EXPECT_NE(captured().find("rule stack overflow"), std::string::npos);
    ASSERT_EQ(staged(tok, removal(7)), 0);
    EXPECT_EQ(staged(tok, any), 7) << "the id the removal freed";
    EXPECT_EQ(staged(tok, any), -1);
    if_kel_t clear = request(KEL_CLEAR);
    ASSERT_EQ(staged(tok, clear), 0);
    EXPECT_EQ(staged(tok, any), 1) << "a clear starts the ids again";
    ASSERT_EQ(end(KEL_X_TXN_COMMIT, tok), 0);
    EXPECT_EQ(table_ids(0, 0), std::vector<int>{1});
    expect_in_step();
}

TEST_F(RuleTxn, WhyBringsBackWhatTheRequestPrinted) {
    ASSERT_EQ(dispatch_status(redirect(1, 3, 7)), 1);
    std::vector<unsigned char> rec = bytes(kel_x_envelope_t{KEL_X_WHY, 0});
    std::vector<unsigned char> inner = bytes(redirect(1, 3, 7));
    rec.insert(rec.end(), inner.begin(), inner.end());
    std::vector<unsigned char> b = run(rec);
    ASSERT_GE(b.size(), 12u);
    std::uint32_t n = 0;
    std::memcpy(&n, b.data(), 4);
    ASSERT_EQ(n, 4u);
    int v = 0;
    std::memcpy(&v, b.data() + 4, 4);
    EXPECT_EQ(v, -1);
    // Without the daemon's streams routed through the capture (a test
    // process) the text is empty, but the envelope is whole.
    std::uint32_t len = 0;
    std::memcpy(&len, b.data() + 8, 4);
    EXPECT_EQ(b.size(), 12u + len);
}

TEST_F(RuleTxn, AMultipleRequestHoldsNoOtherAtAnyDepth) {
    // MULTI { WHY { MULTI { KEL_GET_DEV_NUM } } }: the inner one is refused.
    auto item = [](const std::vector<unsigned char> &b) {
        std::vector<unsigned char> v(4);
        auto n = static_cast<std::uint32_t>(b.size());
        std::memcpy(v.data(), &n, 4);
        v.insert(v.end(), b.begin(), b.end());
        return v;
    };
    std::uint32_t code = KEL_GET_DEV_NUM;
    std::vector<unsigned char> dev(4);
    std::memcpy(dev.data(), &code, 4);
    std::vector<unsigned char> inner = bytes(kel_x_envelope_t{KEL_X_MULTI, 1}), it = item(dev);
    inner.insert(inner.end(), it.begin(), it.end());
    std::vector<unsigned char> why = bytes(kel_x_envelope_t{KEL_X_WHY, 0});
    why.insert(why.end(), inner.begin(), inner.end());
    std::vector<unsigned char> outer = bytes(kel_x_envelope_t{KEL_X_MULTI, 2});
    for (const auto &x : {item(why), item(dev)}) outer.insert(outer.end(), x.begin(), x.end());
    std::vector<unsigned char> b = run(outer);
    // Item 1: the envelope's reply (4-byte length, -1, text); item 2: 2 switches.
    ASSERT_GE(b.size(), 4u + 12u);
    std::uint32_t n1 = 0, inner_len = 0;
    std::memcpy(&n1, b.data(), 4);
    std::memcpy(&inner_len, b.data() + 4, 4);
    int v = 0;
    std::memcpy(&v, b.data() + 8, 4);
    EXPECT_EQ(inner_len, 4u);
    EXPECT_EQ(v, -1);
    ASSERT_EQ(b.size(), 4u + n1 + 8u);
    std::memcpy(&v, b.data() + 4 + n1 + 4, 4);
    EXPECT_EQ(v, 2);
}

}  // namespace
}  // namespace kelftest
