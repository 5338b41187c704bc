// Hash settings against fmsim: each selector bit changes its members and no
// other, the profile bit writes elsewhere, and the replies' exact shapes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "distribution.h"
#include "fmsim.h"
#include "fmsim_hash.h"
#include "testing/harness.h"

namespace {

using kelftest::send;

// Member by member: the records have padding.
bool same(const fm_L2HashKey &a, const fm_L2HashKey &b) {
    return a.SMACMask == b.SMACMask && a.DMACMask == b.DMACMask &&
           a.etherTypeMask == b.etherTypeMask && a.vlanId1Mask == b.vlanId1Mask &&
           a.vlanPri1Mask == b.vlanPri1Mask && a.vlanId2Mask == b.vlanId2Mask &&
           a.vlanPri2Mask == b.vlanPri2Mask && a.symmetrizeMAC == b.symmetrizeMAC &&
           a.useL3Hash == b.useL3Hash && a.useL2ifIP == b.useL2ifIP &&
           a.defaultHashRot == b.defaultHashRot && a.useCompatibleMode == b.useCompatibleMode &&
           a.profileIndex == b.profileIndex;
}
bool same(const fm_L3HashConfig &a, const fm_L3HashConfig &b) {
    return a.SIPMask == b.SIPMask && a.DIPMask == b.DIPMask && a.L4SrcMask == b.L4SrcMask &&
           a.L4DstMask == b.L4DstMask && a.DSCPMask == b.DSCPMask &&
           a.ISLUserMask == b.ISLUserMask && a.protocolMask == b.protocolMask &&
           a.flowMask == b.flowMask && a.symmetrizeL3Fields == b.symmetrizeL3Fields &&
           a.symmetrizeL4Fields == b.symmetrizeL4Fields && a.ECMPRotation == b.ECMPRotation &&
           a.protocol1 == b.protocol1 && a.protocol2 == b.protocol2 &&
           a.useProtocol1 == b.useProtocol1 && a.useProtocol2 == b.useProtocol2 &&
           a.useTCP == b.useTCP && a.useUDP == b.useUDP && a.usePTable == b.usePTable &&
           a.customFieldMask == b.customFieldMask && a.randomNextHop == b.randomNextHop &&
           a.randomOther == b.randomOther && a.disableAllButRandom == b.disableAllButRandom &&
           a.profileIndex == b.profileIndex;
}

// A client record whose every field differs from the power-on setting.
kel_l2_hash_t full_l2(std::uint32_t set) {
    kel_l2_hash_t h{};
    h.l2_hash_set = set;
    h.profile_index = 5;
    const std::uint8_t smac[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    const std::uint8_t dmac[6] = {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};
    std::memcpy(h.src_mac_mask, smac, 6);
    std::memcpy(h.dst_mac_mask, dmac, 6);
    h.ether_type_mask = 0x12345678;
    h.vlan_id_mask = 0xFFFF;
    h.vlan2_id_mask = 0x1234;
    h.vlan_pri = 0xF3;
    h.vlan2_pri = 0x25;
    h.sym_mac = 0x101;
    return h;
}

kel_l3_hash_t full_l3(std::uint32_t set) {
    kel_l3_hash_t h{};
    h.l3_hash_set = set;
    h.profile_index = 3;
    h.src_ip_mask = 0xFFFFFF00;
    h.dst_ip_mask = 0xFFFF0000;
    h.src_port_mask = 0xF0F0;
    h.dst_port_mask = 0x0F0F;
    h.dscp_mask = 0x3F;
    h.isl_usr_mask = 0xAB;
    h.proto_mask = 0x11;
    h.custom_mask = 0xC0FFEE;
    h.flow_mask = 0x12345;
    h.sym_l3_fields = 1;
    h.sym_l4_fields = 2;
    h.use_ptable = 1;
    h.random_next_hop = 3;
    h.random_other = 4;
    h.random_only = 5;
    return h;
}

class HashTest : public testing::Test {
protected:
    void SetUp() override { kelftest::fresh_daemon(1); }

    fm_L2HashKey l2(int profile) {
        fm_L2HashKey k;
        EXPECT_TRUE(fmsim_l2_hash(0, profile, &k));
        return k;
    }
    fm_L3HashConfig l3(int profile) {
        fm_L3HashConfig c;
        EXPECT_TRUE(fmsim_l3_hash(0, profile, &c));
        return c;
    }
    kelftest::Answer set_l2(const kel_l2_hash_t &h) {
        kelftest::kel_request(d_, KEL_SET_L2_HASH);
        std::memcpy(&d_.buffer().kel.l2_hash, &h, sizeof h);
        return send(d_);
    }
    kelftest::Answer set_l3(const kel_l3_hash_t &h) {
        kelftest::kel_request(d_, KEL_SET_L3_HASH);
        std::memcpy(&d_.buffer().kel.l3_hash, &h, sizeof h);
        return send(d_);
    }

    kelf::Dispatcher d_;
};

TEST_F(HashTest, EachL2BitChangesOnlyItsMembers) {
    struct Case {
        std::uint32_t bit;
        std::function<void(fm_L2HashKey &)> change;
    } cases[] = {
        {0, [](fm_L2HashKey &) {}},
        {0x1, [](fm_L2HashKey &k) { k.SMACMask = 0x010203040506ull; }},
        {0x2, [](fm_L2HashKey &k) { k.DMACMask = 0xFFFFFF000000ull; }},
        {0x4, [](fm_L2HashKey &k) { k.etherTypeMask = 0x5678; }},
        {0x8,
         [](fm_L2HashKey &k) {
             k.vlanId1Mask = 0xFFF;
             k.vlanId2Mask = 0x234;
         }},
        {0x10,
         [](fm_L2HashKey &k) {
             k.vlanPri1Mask = 0x3;
             k.vlanPri2Mask = 0x5;
         }},
        {0x20, [](fm_L2HashKey &k) { k.symmetrizeMAC = 1; }},
        {0x40 | 0x800000, [](fm_L2HashKey &) {}},  // bits without a field
    };
    for (const Case &c : cases) {
        fmsim_reset();
        // Start from a profile 0 unlike the power-on one, so that a member
        // reset to a default would show.
        fm_L2HashKey start = l2(0);
        start.vlanId1Mask = 0x0F0;
        start.useL3Hash = FALSE;
        start.defaultHashRot = 2;
        start.useCompatibleMode = TRUE;
        ASSERT_EQ(fmSetSwitchAttribute(0, FM_L2_HASH_KEY, &start), FM_OK);

        fm_L2HashKey want = start;
        c.change(want);
        kelftest::Answer a = set_l2(full_l2(c.bit));
        EXPECT_EQ(a.status(), 0) << c.bit;
        EXPECT_EQ(a.out, "");
        EXPECT_TRUE(same(l2(0), want)) << "bit 0x" << std::hex << c.bit;
    }
    // The symmetry flag takes the low byte of its field only.
    kel_l2_hash_t h = full_l2(0x20);
    h.sym_mac = 0x100;
    ASSERT_EQ(set_l2(full_l2(0x20)).status(), 0);
    ASSERT_EQ(set_l2(h).status(), 0);
    EXPECT_EQ(l2(0).symmetrizeMAC, FALSE);
}

TEST_F(HashTest, EachL3BitChangesOnlyItsMember) {
    struct Case {
        std::uint32_t bit;
        std::function<void(fm_L3HashConfig &)> change;
    } cases[] = {
        {0x1, [](fm_L3HashConfig &c) { c.SIPMask = 0xFFFFFF00; }},
        {0x2, [](fm_L3HashConfig &c) { c.DIPMask = 0xFFFF0000; }},
        {0x4, [](fm_L3HashConfig &c) { c.L4SrcMask = 0xF0F0; }},
        {0x8, [](fm_L3HashConfig &c) { c.L4DstMask = 0x0F0F; }},
        {0x10, [](fm_L3HashConfig &c) { c.DSCPMask = 0x3F; }},
        {0x20, [](fm_L3HashConfig &c) { c.ISLUserMask = 0xAB; }},
        {0x40, [](fm_L3HashConfig &c) { c.protocolMask = 0x11; }},
        {0x80, [](fm_L3HashConfig &c) { c.flowMask = 0x12345; }},
        {0x100, [](fm_L3HashConfig &c) { c.symmetrizeL3Fields = 1; }},
        {0x200, [](fm_L3HashConfig &c) { c.symmetrizeL4Fields = 2; }},
        {0x400, [](fm_L3HashConfig &c) { c.customFieldMask = 0xC0FFEE; }},
        {0x800, [](fm_L3HashConfig &c) { c.randomNextHop = 3; }},
        {0x1000, [](fm_L3HashConfig &c) { c.randomOther = 4; }},
        {0x2000, [](fm_L3HashConfig &c) { c.disableAllButRandom = 5; }},
    };
    for (const Case &c : cases) {
        fmsim_reset();
        fm_L3HashConfig start = l3(0);
        start.usePTable = TRUE;
        start.ECMPRotation = 3;
        start.protocol1 = 47;
        start.useProtocol1 = TRUE;
        start.useUDP = FALSE;
        ASSERT_EQ(fmSetSwitchAttribute(0, FM_L3_HASH_CONFIG, &start), FM_OK);

        fm_L3HashConfig want = start;
        c.change(want);
        EXPECT_EQ(set_l3(full_l3(c.bit)).status(), 0);
        EXPECT_TRUE(same(l3(0), want)) << "bit 0x" << std::hex << c.bit;
    }
}

TEST_F(HashTest, TheProfileBitWritesProfileZerosValuesElsewhere) {
    ASSERT_EQ(set_l3(full_l3(0x2)).status(), 0);  // profile 0 now differs from the rest
    fm_L3HashConfig zero = l3(0);
    fm_L3HashConfig other = l3(4);

    EXPECT_EQ(set_l3(full_l3(0x1000001)).status(), 0);
    fm_L3HashConfig want = zero;
    want.SIPMask = 0xFFFFFF00;
    want.profileIndex = 3;
    EXPECT_TRUE(same(l3(3), want));
    EXPECT_TRUE(same(l3(0), zero)) << "profile 0 is only read";
    EXPECT_TRUE(same(l3(4), other));

    kel_l2_hash_t h = full_l2(0x1000004);
    EXPECT_EQ(set_l2(h).status(), 0);
    EXPECT_EQ(l2(5).etherTypeMask, 0x5678u);
    EXPECT_EQ(l2(5).profileIndex, 5);
    EXPECT_EQ(l2(0).etherTypeMask, 0xFFFFu);

    // A profile the switch does not have: its status goes to the client.
    h.profile_index = FM_HASH_PROFILES;
    kelftest::Answer a = set_l2(h);
    EXPECT_EQ(a.status(), FM_ERR_INVALID_INDEX);
    EXPECT_EQ(a.out, "set FM_L2_HASH_KEY: Index out of range\n");
}

TEST_F(HashTest, GetsFillTheRecordAndEchoTheRest) {
    ASSERT_EQ(set_l2(full_l2(0x3F)).status(), 0);
    ASSERT_EQ(set_l3(full_l3(0x3FFF)).status(), 0);

    if_kel_t &r = kelftest::kel_request(d_, KEL_GET_L2_HASH);
    r.l2_hash.l2_hash_set = 0xABCDEF;
    r.l2_hash.profile_index = 9;
    kelftest::Answer a = send(d_);
    ASSERT_EQ(a.reply.size(), 44u);
    kel_l2_hash_t l2h;
    std::memcpy(&l2h, a.reply.data(), sizeof l2h);
    kel_l2_hash_t want2 = full_l2(0xABCDEF);
    want2.profile_index = 9;
    want2.ether_type_mask = 0x5678;
    want2.vlan_id_mask = 0xFFF;
    want2.vlan2_id_mask = 0x234;
    want2.vlan_pri = 0x3;
    want2.vlan2_pri = 0x5;
    want2.sym_mac = 1;
    EXPECT_EQ(std::memcmp(&l2h, &want2, sizeof l2h), 0);

    if_kel_t &r3 = kelftest::kel_request(d_, KEL_GET_L3_HASH);
    r3.l3_hash.l3_hash_set = 0x77;
    r3.l3_hash.profile_index = 2;
    r3.l3_hash.use_ptable = 0xEE;
    a = send(d_);
    ASSERT_EQ(a.reply.size(), 50u);
    kel_l3_hash_t l3h;
    std::memcpy(&l3h, a.reply.data(), sizeof l3h);
    kel_l3_hash_t want3 = full_l3(0x77);
    want3.profile_index = 2;
    want3.use_ptable = 0xEE;
    want3.sym_l4_fields = 1;  // any non-zero member reads as 1
    EXPECT_EQ(std::memcmp(&l3h, &want3, sizeof l3h), 0);
}

TEST_F(HashTest, ReadAndWriteFailuresReachTheClient) {
    fm_L2HashKey before = l2(0);
    fmsim_fail("fmGetSwitchAttribute", 1, FM_ERR_INVALID_SWITCH);
    kelftest::Answer a = set_l2(full_l2(0x3F));
    EXPECT_EQ(a.status(), FM_ERR_INVALID_SWITCH);
    EXPECT_EQ(a.out, "get FM_L2_HASH_KEY: Invalid switch number\n");
    EXPECT_EQ(fmsim_calls("fmSetSwitchAttribute"), 0u) << "nothing is written after a failed read";
    EXPECT_TRUE(same(l2(0), before));

    fmsim_fail("fmSetSwitchAttribute", 1, FM_FAIL);
    a = set_l3(full_l3(0x1));
    EXPECT_EQ(a.status(), FM_FAIL);
    EXPECT_EQ(a.out, "set FM_L3_HASH_CONFIG: Failure\n");

    // A failed read in a get still answers with the record alone, filled
    // from the zeroed switch record.
    fmsim_fail("fmGetSwitchAttribute", fmsim_calls("fmGetSwitchAttribute") + 1);
    if_kel_t &r = kelftest::kel_request(d_, KEL_GET_L3_HASH);
    std::memset(&r.l3_hash, 0x33, sizeof r.l3_hash);
    a = send(d_);
    ASSERT_EQ(a.reply.size(), 50u);
    EXPECT_EQ(a.out, "get FM_L3_HASH_CONFIG: Failure\n");
    kel_l3_hash_t got;
    std::memcpy(&got, a.reply.data(), sizeof got);
    EXPECT_EQ(+got.src_ip_mask, 0u);
    EXPECT_EQ(+got.random_only, 0u);
    EXPECT_EQ(+got.l3_hash_set, 0x33333333u);
    EXPECT_EQ(+got.use_ptable, 0x33u);

    kelftest::kel_request(d_, KEL_GET_L2_HASH, 8);
    a = send(d_);
    EXPECT_EQ(a.reply.size(), 44u);
    EXPECT_EQ(a.out, "get FM_L2_HASH_KEY: Invalid switch number\n");
}

}  // namespace
