// rule_readback.cpp - the rules of a unit read back whole.
#include "rule_readback.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "labels.h"
#include "rule_action.h"
#include "rule_match.h"
#include "rule_txn.h"
#include "wire_records.h"

namespace kelf::rules {
namespace {

using wire::append;

// The group's ids in the order that decides.
std::vector<int> ids_of(int unit, int group, const txn::Staged *st) {
    std::vector<int> ids;
    if (st != nullptr) {
        ids = st->ids(group);
    } else {
        const kel_acl_t &t = kel_acl[unit][group];
        ids.reserve(static_cast<std::size_t>(t.count()));
        for (int s = t.next_taken(0); s >= 0; s = t.next_taken(s + 1))
            ids.push_back(t.at(s)->rule_id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

kel_mem_t rule_as_request(const kel_acl_rule_t &r) {
    kel_mem_t m;
    std::memset(&m, 0, sizeof m);
    m.group = r.acl;
    m.rule_id = r.rule_id;
    decode_match(r, m);
    decode_action(r, m);
    const fm_aclParamExt &p = r.param;
    // The action bits as command 54 takes them: counting is every rule's,
    // a redirect's permit comes with it, and a mirror is asked by its own bit.
    std::uint64_t a = r.action & ~std::uint64_t{FM_ACL_ACTIONEXT_COUNT};
    if (a & FM_ACL_ACTIONEXT_REDIRECT) a &= ~std::uint64_t{FM_ACL_ACTIONEXT_PERMIT};
    if (a & FM_ACL_ACTIONEXT_MIRROR_GRP) {
        a = (a & ~std::uint64_t{FM_ACL_ACTIONEXT_MIRROR_GRP}) | KEL_ACT_MIRROR;
        m.mirror_port = p.mirrorGrp;
    }
    m.rule_act = static_cast<std::int32_t>(a);
    m.redir_port = 0;
    if (a & FM_ACL_ACTIONEXT_REDIRECT) m.redir_port = p.logicalPort;
    if (a & FM_ACL_ACTIONEXT_LOAD_BALANCE) m.redir_port = p.lbgNumber;
    m.vlan_act = (a & FM_ACL_ACTIONEXT_SET_VLAN) ? p.vlan : 0;
    m.vlan_pri_act = (a & FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY) ? p.vlanPriority : 0;
    m.user_act = (a & FM_ACL_ACTIONEXT_SET_USER)              ? p.user
                 : (a & FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY) ? p.switchPriority
                                                              : 0;
    const fm_aclValue v = r.value;
    if (r.cond & FM_ACL_MATCH_VLAN_TAG_TYPE) {
        fm_int tag = 0;
        std::memcpy(&tag, &v.vlanTag, sizeof tag);
        m.vlan_tag = static_cast<std::int32_t>(static_cast<std::uint32_t>(tag) + 1u);
    }
    if (r.cond & FM_ACL_MATCH_SRC_MAC) m.src_mac.flag = 1;
    if (r.cond & FM_ACL_MATCH_DST_MAC) m.dst_mac.flag = 1;
    if ((r.cond & FM_ACL_MATCH_SRC_IP) && v.srcIp.isIPv6) m.src_ip6.flag = m.src_ip6_mask.flag = 1;
    if ((r.cond & FM_ACL_MATCH_DST_IP) && v.dstIp.isIPv6) m.dst_ip6.flag = m.dst_ip6_mask.flag = 1;
    return m;
}

void read_rules(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    kel_x_list_t head{};
    head.ret = -1;
    head.item_size = sizeof(kel_x_rule_t);
    head.next_group = -1;
    head.next_from = -1;
    const std::size_t at = out.size();
    append(out, head);
    if (!unit_group_ok(q.unit, q.group)) return;
    head.ret = 0;
    const int unit = q.unit;
    const txn::Staged *st = txn::staging(unit);
    const int last = (q.flags & KEL_X_READ_ONE_GROUP) ? q.group : KEL_MAX_GROUPS - 1;
    const std::size_t room = KEL_X_READ_MAX / sizeof(kel_x_rule_t);
    for (int g = q.group; g <= last && head.next_from < 0; ++g) {
        const std::vector<int> ids = ids_of(unit, g, st);
        auto it = ids.begin();
        if (g == q.group)
            it = std::lower_bound(ids.begin(), ids.end(), q.from,
                                  [](int id, std::int64_t from) { return id < from; });
        const kel_acl_t &t = kel_acl[unit][g];
        for (; it != ids.end(); ++it) {
            if (head.count == room) {
                head.next_group = g;
                head.next_from = *it;
                break;
            }
            const std::string &label = labels::get(unit, labels::Kind::Rule, g, *it);
            if ((q.flags & KEL_X_READ_LABELLED) && label.empty()) continue;
            const int slot = t.find(*it);
            const kel_acl_rule_t *r = st != nullptr ? st->find(g, *it) : t.at(slot);
            if (r == nullptr) continue;
            kel_x_rule_t item;
            std::memset(&item, 0, sizeof item);
            item.group = g;
            item.rule_id = *it;
            // A rule is in force when the table's slot holds this record.
            item.slot = slot >= 0 && t.at(slot) == r ? slot : -1;
            item.counter_ret = -1;
            item.action = r->action;
            item.cond = r->cond;
            item.mem = rule_as_request(*r);
            if ((q.flags & KEL_X_READ_COUNTERS) && item.slot >= 0) {
                fm_uint64 frames = 0;
                item.counter_ret = fmGetACLCount(unit, g, *it, &frames) == FM_OK ? 0 : -1;
                item.frames = frames;
            }
            std::snprintf(item.label, sizeof item.label, "%s", label.c_str());
            append(out, item);
            ++head.count;
        }
    }
    std::memcpy(out.data() + at, &head, sizeof head);
}

}  // namespace kelf::rules
