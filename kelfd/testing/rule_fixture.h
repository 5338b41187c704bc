// rule_fixture.h - the rule engine's fixture: a fresh daemon on two
// switches, rules added and queried, and the check that the daemon's tables
// and the switch's ACLs agree.
#pragma once

#include <gtest/gtest.h>
#include <kelfd/kel_lib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "daemon.h"
#include "dispatch.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "rules/rule_match.h"
#include "rules/rule_table.h"
#include "rules/rules.h"
#include "testing/harness.h"
#include "testing/requests.h"
#include "testing/tables_agree.h"

namespace kelftest {

inline if_kel_t rule(int group, int id, int port = 0) {
    if_kel_t r = request();
    r.kel_mem.group = group;
    r.kel_mem.rule_id = id;
    r.kel_mem.port = port;
    return r;
}

class RuleTest : public testing::Test {
public:
    void SetUp() override { fresh_daemon(2); }

    // Adds a rule and returns the reply.
    int add(int action, if_kel_t r) { return kel_add_rule_fn(action, &r); }
    int add(int action, int group, int id, int port = 0) {
        return add(action, rule(group, id, port));
    }

    // Runs a request through the dispatcher; the reply's bytes.
    // Nothing printed is captured here: tests capture around it themselves.
    std::vector<unsigned char> dispatch(const if_kel_t &r) {
        d_.clear();
        std::memcpy(d_.buffer().raw, &r, sizeof r);
        kelf::Reply rep = d_.dispatch();
        const auto *p = static_cast<const unsigned char *>(rep.data);
        return {p, p + rep.size};
    }
    int dispatch_status(const if_kel_t &r) {
        std::vector<unsigned char> b = dispatch(r);
        EXPECT_EQ(b.size(), 4u);
        int v = 0;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }

    static std::vector<int> table_ids(int unit, int group) {
        return kelftest::table_ids(unit, group);
    }

    // The daemon's tables hold exactly the rules the switch's ACLs hold.
    static void expect_in_step(int unit = 0) {
        for (const TablesApart &a : tables_apart(unit))
            EXPECT_EQ(a.table, a.acl) << "group " << a.group;
    }

    static FmsimAclRule on_switch(int group, int id, int unit = 0) {
        FmsimAclRule r{};
        EXPECT_TRUE(fmsim_acl_rule(unit, group, id, &r)) << "rule " << id << " of ACL " << group;
        return r;
    }

    // The stored rule as a query replies it; `as_sent` fills the request.
    kel_query_rule_t query(int group, int id, void (*as_sent)(kel_mem_t &) = nullptr) {
        if_kel_t ask = request(KEL_ENTRY_QUERY);
        ask.kel_mem.group = group;
        ask.kel_mem.rule_id = id;
        if (as_sent) as_sent(ask.kel_mem);
        std::vector<unsigned char> b = dispatch(ask);
        kel_query_rule_t q{};
        EXPECT_EQ(b.size(), sizeof q);
        std::memcpy(&q, b.data(), std::min(b.size(), sizeof q));
        return q;
    }

    static void capture() { testing::internal::CaptureStdout(); }
    static std::string captured() { return testing::internal::GetCapturedStdout(); }

    kelf::Dispatcher d_;
};

// Suites whose cases lie in more than one file (the table and its
// commands; actions and their installation) share one fixture type.
class RuleTable : public RuleTest {};
class RuleAction : public RuleTest {};

}  // namespace kelftest
