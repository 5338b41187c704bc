// Load-balancing groups, mirrors, multicast groups and hash settings
// through the real kelfd over its socket.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "daemon_process.h"

namespace {

using kelftest::DaemonProcess;

if_kel_lbg_t lbg_req(std::int32_t cmd, std::int32_t lbg = 0, const std::vector<int> &ports = {}) {
    if_kel_lbg_t r;
    std::memset(&r, 0, sizeof r);
    r.kel_cmd = cmd;
    r.lbg = lbg;
    r.kel_query_list.kel_lbg_list.lbg_num = static_cast<std::int32_t>(ports.size());
    for (size_t i = 0; i < ports.size() && i < 32; ++i)
        r.kel_query_list.kel_lbg_list.lbg_list[i] = ports[i];
    return r;
}

std::vector<unsigned char> kel_req(std::int32_t cmd) {
    std::vector<unsigned char> b(sizeof(if_kel_t), 0);
    std::memcpy(b.data(), &cmd, 4);
    return b;
}
if_kel_t *as_kel(std::vector<unsigned char> &b) {
    return reinterpret_cast<if_kel_t *>(b.data());
}

// Sends a request and returns every byte of the reply.
template <typename T>
std::vector<unsigned char> ask(const kelfclient::Client &c, const T *req, size_t len = sizeof(T)) {
    std::vector<unsigned char> reply;
    EXPECT_TRUE(c.exchange(req, len, &reply));
    return reply;
}

std::int32_t status_of(const std::vector<unsigned char> &r) {
    std::int32_t v = 0x7eadbeef;
    if (r.size() == 4) std::memcpy(&v, r.data(), 4);
    return v;
}

kel_lbg_query_list_t list_of(const std::vector<unsigned char> &r) {
    kel_lbg_query_list_t q;
    std::memset(&q, 0x5a, sizeof q);
    if (r.size() == sizeof q) std::memcpy(&q, r.data(), sizeof q);
    return q;
}

TEST(Distribution, LoadBalancingGroupsOverTheSocket) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    if_kel_lbg_t add = lbg_req(KEL_LBG_ADD, 0, {1, 2, 3});
    std::int32_t g1 = status_of(ask(c, &add));
    add = lbg_req(KEL_LBG_ADD, 0, {4});
    std::int32_t g2 = status_of(ask(c, &add));
    ASSERT_GE(g1, 0);
    ASSERT_GE(g2, 0);
    EXPECT_NE(g1, g2);

    if_kel_lbg_t q = lbg_req(KEL_LBG_QUERY_LIST);
    std::vector<unsigned char> r = ask(c, &q);
    ASSERT_EQ(r.size(), 136u);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_num, 2);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_list[0], g1);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_list[1], g2);
    EXPECT_EQ(+list_of(r).ret, 0);

    if_kel_lbg_t rm = lbg_req(KEL_LBG_REMOVE, g1);
    EXPECT_EQ(status_of(ask(c, &rm)), 0);
    EXPECT_EQ(status_of(ask(c, &rm)), -1);
    EXPECT_TRUE(d.wait_out("fmDeleteLBG: Invalid load-balancing group\n"));
    EXPECT_EQ(+list_of(ask(c, &q)).kel_lbg_list.lbg_num, 1);
}

TEST(Distribution, AFailedStateWriteLeavesNoGroup) {
    DaemonProcess::Options o;
    o.env["FMSIM_FAIL"] = "fmSetLBGAttribute#2";
    DaemonProcess d(o);
    kelfclient::Client c = d.client();
    if_kel_lbg_t add = lbg_req(KEL_LBG_ADD, 0, {1, 2});
    EXPECT_EQ(status_of(ask(c, &add)), -1);
    EXPECT_TRUE(d.wait_out("set fmSetLBGAttribute FM_LBG_STATE: Failure\n"));
    if_kel_lbg_t q = lbg_req(KEL_LBG_QUERY_LIST);
    EXPECT_EQ(+list_of(ask(c, &q)).kel_lbg_list.lbg_num, 0);
    EXPECT_GE(status_of(ask(c, &add)), 0) << "the next add succeeds";
}

TEST(Distribution, MirrorsAndMulticastGroupsOverTheSocket) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    if_kel_lbg_t add = lbg_req(KEL_MIR_ADD, 10, {1, 2});
    EXPECT_EQ(status_of(ask(c, &add)), 0);
    if_kel_lbg_t padd = lbg_req(KEL_MIR_PORT_ADD, 10);
    padd.port = 7;
    EXPECT_EQ(status_of(ask(c, &padd)), 0);
    if_kel_lbg_t pq = lbg_req(KEL_MIR_PORT_QUERY_LIST, 10);
    std::vector<unsigned char> r = ask(c, &pq);
    ASSERT_EQ(r.size(), 136u);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_num, 3);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_list[2], 7);
    EXPECT_EQ(+list_of(r).ret, 0);
    pq.lbg = 11;
    EXPECT_EQ(+list_of(ask(c, &pq)).ret, -1);

    std::vector<unsigned char> v = kel_req(KEL_MIR_VLAN_ADD);
    as_kel(v)->port = 10;
    as_kel(v)->group = 0;
    EXPECT_EQ(status_of(ask(c, v.data(), v.size())), 0);

    if_kel_lbg_t ml = lbg_req(KEL_MIR_QUERY_LIST);
    r = ask(c, &ml);
    ASSERT_EQ(r.size(), 136u);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_num, 1);
    EXPECT_EQ(+list_of(r).kel_lbg_list.lbg_list[0], 10);
    if_kel_lbg_t rm = lbg_req(KEL_MIR_REMOVE, 10);
    EXPECT_EQ(status_of(ask(c, &rm)), 0);
    EXPECT_EQ(+list_of(ask(c, &ml)).kel_lbg_list.lbg_num, 0);

    std::vector<unsigned char> m = kel_req(KEL_MCG_CREATE);
    std::int32_t grp = status_of(ask(c, m.data(), m.size()));
    ASSERT_GE(grp, 0);
    m = kel_req(KEL_MCG_GET_PORT);
    as_kel(m)->group = grp;
    EXPECT_GT(status_of(ask(c, m.data(), m.size())), 0);
    m = kel_req(KEL_MCG_ADD_LISTENER);
    as_kel(m)->group = grp;
    as_kel(m)->port = 5;
    as_kel(m)->val = 0x10064;
    EXPECT_EQ(status_of(ask(c, m.data(), m.size())), 0);
    m = kel_req(KEL_MCG_REMOVE);
    as_kel(m)->group = grp;
    EXPECT_EQ(status_of(ask(c, m.data(), m.size())), 0);
    EXPECT_EQ(status_of(ask(c, m.data(), m.size())), -1);
    EXPECT_TRUE(d.wait_out("fmDeactivateMcastGroup: Invalid multicast group\n"));
}

TEST(Distribution, HashSettingsOverTheSocket) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    std::vector<unsigned char> s = kel_req(KEL_SET_L2_HASH);
    as_kel(s)->l2_hash.l2_hash_set = 0x2;
    const std::uint8_t dmac[6] = {0xFF, 0xFF, 0xFF, 0, 0, 0};
    std::memcpy(as_kel(s)->l2_hash.dst_mac_mask, dmac, 6);
    EXPECT_EQ(status_of(ask(c, s.data(), s.size())), 0);

    std::vector<unsigned char> g = kel_req(KEL_GET_L2_HASH);
    as_kel(g)->l2_hash.profile_index = 4;
    std::vector<unsigned char> r = ask(c, g.data(), g.size());
    ASSERT_EQ(r.size(), 44u);
    kel_l2_hash_t l2;
    std::memcpy(&l2, r.data(), sizeof l2);
    EXPECT_EQ(std::memcmp(l2.dst_mac_mask, dmac, 6), 0);
    EXPECT_EQ(+l2.profile_index, 4u);

    s = kel_req(KEL_SET_L3_HASH);
    as_kel(s)->l3_hash.l3_hash_set = 0x1;
    as_kel(s)->l3_hash.src_ip_mask = 0xFFFFFF00;
    EXPECT_EQ(status_of(ask(c, s.data(), s.size())), 0);

    g = kel_req(KEL_GET_L3_HASH);
    as_kel(g)->l3_hash.use_ptable = 9;
    r = ask(c, g.data(), g.size());
    ASSERT_EQ(r.size(), 50u);
    kel_l3_hash_t l3;
    std::memcpy(&l3, r.data(), sizeof l3);
    EXPECT_EQ(+l3.src_ip_mask, 0xFFFFFF00u);
    EXPECT_EQ(+l3.use_ptable, 9);
}

TEST(Distribution, RulesRedirectToAGroupAndMirrorToAMirror) {
    DaemonProcess d;
    kelfclient::Client c = d.client();
    if_kel_lbg_t lbg = lbg_req(KEL_LBG_ADD, 0, {1, 2, 3});
    std::int32_t g = status_of(ask(c, &lbg));
    ASSERT_GE(g, 0);
    if_kel_lbg_t mir = lbg_req(KEL_MIR_ADD, 10, {1, 2});
    ASSERT_EQ(status_of(ask(c, &mir)), 0);

    std::vector<unsigned char> rule = kel_req(KEL_SET_RULE);
    as_kel(rule)->action = KEL_ACT_LBG;
    as_kel(rule)->kel_mem.port = 4;
    as_kel(rule)->kel_mem.redir_port = g;
    EXPECT_EQ(status_of(ask(c, rule.data(), rule.size())), 1);
    rule = kel_req(KEL_SET_MIR);
    as_kel(rule)->kel_mem.port = 5;
    as_kel(rule)->kel_mem.mirror_port = 10;
    EXPECT_EQ(status_of(ask(c, rule.data(), rule.size())), 2);

    // The group rule reads back naming its group.
    std::vector<unsigned char> q = kel_req(KEL_ENTRY_QUERY);
    as_kel(q)->kel_mem.rule_id = 1;
    std::vector<unsigned char> r = ask(c, q.data(), q.size());
    ASSERT_EQ(r.size(), sizeof(kel_query_rule_t));
    kel_query_rule_t got;
    std::memcpy(&got, r.data(), sizeof got);
    EXPECT_EQ(+got.kel_mem.rule_act, KEL_ACT_LBG);
    EXPECT_EQ(+got.kel_mem.redir_port, g);
    EXPECT_EQ(+got.ret, 0);

    // Removing the mirror rule leaves the mirror and its ports.
    std::vector<unsigned char> rm = kel_req(KEL_ENTRY_REMOVE);
    as_kel(rm)->rule_id = 2;
    EXPECT_EQ(status_of(ask(c, rm.data(), rm.size())), 0);
    if_kel_lbg_t pq = lbg_req(KEL_MIR_PORT_QUERY_LIST, 10);
    kel_lbg_query_list_t ports = list_of(ask(c, &pq));
    EXPECT_EQ(+ports.kel_lbg_list.lbg_num, 2);
    EXPECT_EQ(+ports.ret, 0);
    if_kel_lbg_t lq = lbg_req(KEL_LBG_QUERY_LIST);
    EXPECT_EQ(+list_of(ask(c, &lq)).kel_lbg_list.lbg_num, 1);
}

}  // namespace
