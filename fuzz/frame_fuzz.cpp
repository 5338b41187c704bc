// The frame parser and the forwarding pipeline under libFuzzer: arbitrary
// bytes, the first of which picks the ingress port, through a switch with a
// fixed rule set of every action (drop, permit, redirect, load-balance,
// mirror, VLAN and priority rewrites), a mirror, a load-balancing group, a
// multicast group and a loopback port.
#include <cstddef>
#include <cstdint>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_forward.h"
#include "switch_setup.h"

namespace {

void rule(int acl, int id, fm_aclCondition c, const fm_aclValue &v, fm_aclActionExt a,
          const fm_aclParamExt &p) {
    fmAddACLRuleExt(0, acl, id, c, &v, a, &p);
}

bool setup() {
    fmsimtest::switch_up(1, 8, {{1, false}, {100, true}});
    fm_int loop = 1;
    fmSetPortAttributeV2(0, 8, 0, 0, FM_PORT_LOOPBACK, &loop);

    fmCreateMirror(0, 7, 7, FM_MIRROR_TYPE_BIDIRECTIONAL);
    fmAddMirrorPort(0, 7, 2);
    fm_int mvlan = 100;
    fmSetMirrorAttribute(0, 7, FM_MIRROR_VLAN, &mvlan);
    fm_bool on = TRUE;
    fmSetMirrorAttribute(0, 7, FM_MIRROR_ACL, &on);

    fm_LBGParams lp{256, FM_LBG_MODE_MAPPED};
    fm_int lbg = -1;
    fmCreateLBGExt(0, &lbg, &lp);
    fm_int bins[256];
    for (int b = 0; b < 256; ++b) bins[b] = b % 5 == 4 ? FM_LBG_NO_PORT : 3 + b % 5;
    fm_LBGDistributionMapRange r{0, 256, bins};
    fmSetLBGAttribute(0, lbg, FM_LBG_DISTRIBUTION_MAP_RANGE, &r);
    fm_uint32 active = FM_LBG_STATE_ACTIVE;
    fmSetLBGAttribute(0, lbg, FM_LBG_STATE, &active);

    fm_int group = -1, mport = -1;
    fmCreateMcastGroup(0, &group);
    fmActivateMcastGroup(0, group);
    fmGetMcastGroupPort(0, group, &mport);
    for (int p : {4, 5}) {
        fm_multicastListener l{static_cast<fm_uint16>(p == 4 ? 1 : 100), p, FALSE, 0, FALSE};
        fmAddMcastGroupListener(0, group, &l);
    }

    fm_int set = -1;
    fmCreatePortSet(0, &set);
    fmAddPortSetPort(0, set, 6);

    for (int acl = 0; acl < 3; ++acl) fmCreateACLExt(0, acl, 0x43F7, 0);
    fm_aclValue v{};
    fm_aclParamExt p{};
    v.ethType = 0x0806;
    v.ethTypeMask = 0xFFFF;
    rule(0, 1, FM_ACL_MATCH_ETHERTYPE, v, FM_ACL_ACTIONEXT_DENY | FM_ACL_ACTIONEXT_COUNT, p);
    v = {};
    v.protocol = 6;
    v.protocolMask = 0xFF;
    v.L4DstStart = 80;
    p.lbgNumber = lbg;
    rule(0, 2, FM_ACL_MATCH_PROTOCOL | FM_ACL_MATCH_L4_DST_PORT, v, FM_ACL_ACTIONEXT_LOAD_BALANCE,
         p);
    v = {};
    v.L4SrcStart = 1000;
    v.L4SrcEnd = 2000;
    p = {};
    p.logicalPort = mport;
    rule(0, 3, FM_ACL_MATCH_L4_SRC_PORT, v, FM_ACL_ACTIONEXT_REDIRECT | FM_ACL_ACTIONEXT_COUNT, p);
    v = {};
    v.portSet = set;
    p = {};
    p.logicalPort = 8;
    rule(0, 4, FM_ACL_MATCH_INGRESS_PORT_SET, v, FM_ACL_ACTIONEXT_REDIRECT, p);
    v = {};
    fm_aclVlanTagType tag = FM_ACL_VLAN_TAG_TYPE_VLAN2;
    v.vlanTag = tag;
    p = {};
    p.vlan = 100;
    p.vlanPriority = 5;
    rule(1, 1, FM_ACL_MATCH_VLAN_TAG_TYPE, v,
         FM_ACL_ACTIONEXT_SET_VLAN | FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY, p);
    v = {};
    v.nonIPPayloadMask[0] = 0xF0;
    v.nonIPPayload[0] = 0x40;
    p = {};
    p.mirrorGrp = 7;
    p.switchPriority = 9;
    rule(2, 1, FM_ACL_MATCH_NON_IP_PAYLOAD, v,
         FM_ACL_ACTIONEXT_MIRROR_GRP | FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY |
             FM_ACL_ACTIONEXT_PERMIT,
         p);
    fmCompileACL(0, nullptr, 0, 0);
    fmApplyACL(0, 0);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static bool ready = setup();
    (void)ready;
    if (size == 0) return 0;
    int port = 1 + data[0] % 9;  // 9: a port that is down
    FmsimTrace trace;
    FmsimOutcome o = fmsim_inject(0, port, data + 1, size - 1, (data[0] & 0x80) ? &trace : nullptr);
    for (const FmsimEmit &e : o.frames)
        if (e.bytes.size() < 12) __builtin_trap();  // every frame that leaves has its addresses
    // Forget learned addresses now and then, so the table never fills up.
    static unsigned n = 0;
    if (++n % 4096 == 0) fmsim_flush_learned(0);
    return 0;
}
