// Mirrors against fmsim: creation with monitored ports, partial failures,
// the VLAN of the copies, and the two list replies with their 16-entry cap.
#include <gtest/gtest.h>

#include <climits>

#include "distribution.h"
#include "fmsim.h"
#include "fmsim_mirror.h"
#include "testing/harness.h"

namespace {

using kelftest::send;

class MirrorTest : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(1); }

    kelftest::Answer add(int mirror, const std::vector<int> &ports) {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_ADD);
        r.lbg = mirror;
        kelftest::set_list(r, ports);
        return send(d_);
    }
    kelftest::Answer port_cmd(int cmd, int mirror, int port) {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, cmd);
        r.lbg = mirror;
        r.port = port;
        return send(d_);
    }
    kelftest::Answer vlan(int mirror, int vlan) {
        if_kel_t &r = kelftest::kel_request(d_, KEL_MIR_VLAN_ADD);
        r.port = mirror;
        r.group = vlan;
        return send(d_);
    }
    kelftest::Answer port_list(int mirror) {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_PORT_QUERY_LIST);
        r.lbg = mirror;
        r.kel_query_list.kel_lbg_list.lbg_num = 77;  // never what the reply says
        r.kel_query_list.kel_lbg_list.lbg_list[20] = 4321;
        return send(d_);
    }

    kelf::Dispatcher d_;
};

TEST_F(MirrorTest, AddCreatesOrExtendsAMirror) {
    kelftest::Answer a = add(10, {1, 2});
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.out, "");
    FmsimMirror m = fmsim_mirror(0, 10);
    ASSERT_TRUE(m.exists);
    EXPECT_EQ(m.mirror_port, 10);
    EXPECT_EQ(m.type, FM_MIRROR_TYPE_INGRESS);
    EXPECT_EQ(m.ports, (std::vector<int>{1, 2}));

    a = port_list(10);
    ASSERT_EQ(a.reply.size(), 136u);
    kel_lbg_query_list_t q = a.list();
    EXPECT_EQ(+q.kel_lbg_list.lbg_num, 2);
    EXPECT_EQ(kelftest::entries(q, 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(+q.kel_lbg_list.lbg_list[20], 4321);
    EXPECT_EQ(+q.ret, 0);

    a = add(10, {5});
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.out, "") << "an existing mirror is extended silently";
    EXPECT_EQ(fmsim_mirror(0, 10).ports, (std::vector<int>{1, 2, 5}));

    for (int n : {0, -3}) {
        kelftest::lbg_request(d_, KEL_MIR_ADD).lbg = 20 + n;
        d_.buffer().lbg.kel_query_list.kel_lbg_list.lbg_num = n;
        EXPECT_EQ(send(d_).status(), 0) << n;
        EXPECT_TRUE(fmsim_mirror(0, 20 + n).exists) << n;
        EXPECT_TRUE(fmsim_mirror(0, 20 + n).ports.empty()) << n;
    }
}

TEST_F(MirrorTest, AListTooLongIsRefusedBeforeTheMirrorExists) {
    for (int n : {33, INT_MAX}) {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_ADD);
        r.lbg = 12;
        r.kel_query_list.kel_lbg_list.lbg_num = n;
        for (int &p : r.kel_query_list.kel_lbg_list.lbg_list) p = 3;
        EXPECT_EQ(send(d_).status(), -1) << n;
    }
    EXPECT_FALSE(fmsim_mirror(0, 12).exists);
    EXPECT_EQ(fmsim_calls("fmCreateMirror"), 0u);

    std::vector<int> ports;
    for (int p = 1; p <= 32; ++p) ports.push_back(p);
    EXPECT_EQ(add(40, ports).status(), 0) << "a full list of 32 is taken whole";
    EXPECT_EQ(fmsim_mirror(0, 40).ports, ports);
}

TEST_F(MirrorTest, APartialFailureKeepsThePortsAddedBeforeIt) {
    kelftest::Answer a = add(10, {1, 99, 2});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "get fmAddMirrorPort: Invalid port number\n");
    FmsimMirror m = fmsim_mirror(0, 10);
    EXPECT_TRUE(m.exists);
    EXPECT_EQ(m.ports, (std::vector<int>{1}));

    a = add(70, {1});
    EXPECT_EQ(a.status(), -1) << "mirror 70 cannot be created, so no port joins it";
    EXPECT_EQ(a.out, "fmCreateMirror: Invalid mirror group\n") << "the create's own failure";
}

TEST_F(MirrorTest, PortsAndVlanOfAnExistingMirror) {
    ASSERT_EQ(add(10, {1}).status(), 0);
    EXPECT_EQ(port_cmd(KEL_MIR_PORT_ADD, 10, 4).status(), 0);
    EXPECT_EQ(port_cmd(KEL_MIR_PORT_REMOVE, 10, 1).status(), 0);
    EXPECT_EQ(fmsim_mirror(0, 10).ports, (std::vector<int>{4}));

    kelftest::Answer a = port_cmd(KEL_MIR_PORT_REMOVE, 10, 1);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmDeleteMirrorPort: Entry not found\n");
    a = port_cmd(KEL_MIR_PORT_ADD, 11, 1);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmAddMirrorPort: Invalid mirror group\n");

    EXPECT_EQ(vlan(10, 100).status(), 0);
    EXPECT_EQ(fmsim_mirror(0, 10).vlan, 100);
    for (int v : {0, -7, INT_MIN}) {
        ASSERT_EQ(vlan(10, 55).status(), 0);
        EXPECT_EQ(vlan(10, v).status(), 0) << v;
        EXPECT_EQ(fmsim_mirror(0, 10).vlan, -1) << v << " is written as -1";
    }
    a = vlan(10, 4096);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmSetMirrorAttribute FM_MIRROR_VLAN: Invalid VLAN\n");
    a = vlan(11, 5);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmSetMirrorAttribute FM_MIRROR_VLAN: Invalid mirror group\n");

    kelftest::lbg_request(d_, KEL_MIR_REMOVE).lbg = 10;
    EXPECT_EQ(send(d_).status(), 0);
    EXPECT_FALSE(fmsim_mirror(0, 10).exists);
    kelftest::lbg_request(d_, KEL_MIR_REMOVE).lbg = 10;
    a = send(d_);
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmDeleteMirror: Invalid mirror group\n");
}

TEST_F(MirrorTest, MirrorListCountsEveryMirrorAndFillsSixteen) {
    kelftest::lbg_request(d_, KEL_MIR_QUERY_LIST).kel_query_list.kel_lbg_list.lbg_num = 9;
    kelftest::Answer a = send(d_);
    ASSERT_EQ(a.reply.size(), 136u);
    EXPECT_EQ(+a.list().kel_lbg_list.lbg_num, 0);
    EXPECT_EQ(+a.list().ret, 0);

    std::vector<int> made;
    for (int m = 41; m > 21; --m) {
        ASSERT_EQ(add(m, {}).status(), 0);
        made.insert(made.begin(), m);
    }
    kelftest::lbg_request(d_, KEL_MIR_QUERY_LIST).kel_query_list.kel_lbg_list.lbg_list[16] = 555;
    a = send(d_);
    kel_lbg_query_list_t q = a.list();
    EXPECT_EQ(+q.kel_lbg_list.lbg_num, 20);
    EXPECT_EQ(kelftest::entries(q, 16), std::vector<int>(made.begin(), made.begin() + 16));
    EXPECT_EQ(+q.kel_lbg_list.lbg_list[16], 555) << "no entry past 16 is written";
    EXPECT_EQ(+q.ret, 0);
}

// A mirror that neither exists nor could be made is a failure, never an
// empty success; an existing mirror is still extended.
TEST_F(MirrorTest, AFailedCreateOfANewMirrorIsAFailure) {
    fmsim_fail("fmCreateMirror", fmsim_calls("fmCreateMirror") + 1);
    kelftest::Answer a = add(11, {});
    EXPECT_EQ(a.status(), -1);
    EXPECT_EQ(a.out, "fmCreateMirror: Failure\n");
    EXPECT_FALSE(fmsim_mirror(0, 11).exists);
    ASSERT_EQ(add(11, {1}).status(), 0);
    fmsim_fail("fmCreateMirror", fmsim_calls("fmCreateMirror") + 1);
    EXPECT_EQ(add(11, {2}).status(), 0) << "an existing mirror is extended";
}

// A failing step of a walk is a failed query with its line, never a list
// that silently ends early; only the switch's "no more" ends a list.
TEST_F(MirrorTest, AFailingWalkStepFailsTheQuery) {
    ASSERT_EQ(add(10, {1, 2}).status(), 0);
    ASSERT_EQ(add(12, {3}).status(), 0);
    struct Case {
        int cmd;
        const char *op;
    };
    for (Case c : {Case{KEL_MIR_QUERY_LIST, "fmGetMirrorFirst"},
                   {KEL_MIR_QUERY_LIST, "fmGetMirrorNext"},
                   {KEL_MIR_PORT_QUERY_LIST, "fmGetMirrorFirst"},
                   {KEL_MIR_PORT_QUERY_LIST, "fmGetMirrorNext"},
                   {KEL_MIR_PORT_QUERY_LIST, "fmGetMirror"},
                   {KEL_MIR_PORT_QUERY_LIST, "fmGetMirrorPortFirst"},
                   {KEL_MIR_PORT_QUERY_LIST, "fmGetMirrorPortNext"}}) {
        SCOPED_TRACE(c.op);
        fmsim_fail(c.op, fmsim_calls(c.op) + 1);
        if_kel_lbg_t &r = kelftest::lbg_request(d_, c.cmd);
        r.lbg = 12;
        kelftest::Answer a = send(d_);
        kel_lbg_query_list_t q = a.list();
        EXPECT_EQ(+q.kel_lbg_list.lbg_num, -1) << "no count, unlike a mirror without ports";
        EXPECT_EQ(+q.ret, -1);
        EXPECT_EQ(a.out.rfind(std::string(c.op) + ": ", 0), 0u) << a.out;
        fmsim_fail_clear();
    }
    // Without faults both walks see everything again.
    kelftest::lbg_request(d_, KEL_MIR_QUERY_LIST);
    EXPECT_EQ(+send(d_).list().kel_lbg_list.lbg_num, 2);
    EXPECT_EQ(+port_list(10).list().kel_lbg_list.lbg_num, 2);
}

TEST_F(MirrorTest, PortListFailsSilentlyForNoMirrorOrNoPorts) {
    ASSERT_EQ(add(3, {}).status(), 0);
    ASSERT_EQ(add(30, {1}).status(), 0);
    for (int m : {4, 3, -1, INT_MAX}) {
        kelftest::Answer a = port_list(m);
        ASSERT_EQ(a.reply.size(), 136u);
        EXPECT_EQ(+a.list().kel_lbg_list.lbg_num, 0) << m;
        EXPECT_EQ(+a.list().ret, -1) << m;
        EXPECT_EQ(a.out, "") << m;
    }

    // Mirror 30 comes after others in the walk; its 20 ports fill 16 entries.
    ASSERT_EQ(add(1, {2}).status(), 0);
    std::vector<int> ports;
    for (int p = 21; p >= 2; --p) ports.push_back(p);
    ASSERT_EQ(add(30, ports).status(), 0);
    kel_lbg_query_list_t q = port_list(30).list();
    EXPECT_EQ(+q.kel_lbg_list.lbg_num, 21);
    EXPECT_EQ(kelftest::entries(q, 16),
              (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(+q.kel_lbg_list.lbg_list[20], 4321);
    EXPECT_EQ(+q.ret, 0);
}

}  // namespace
