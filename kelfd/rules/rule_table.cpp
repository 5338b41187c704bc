// rule_table.cpp - the rule tables, automatic ids, and the commands that
// work from the tables alone: remove, clear, query, list and count.
#include "rule_table.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "messages.h"
#include "rules.h"
#include "sdk_util.h"

kel_acl_t kel_acl[KEL_MAX_UNITS][KEL_MAX_GROUPS];
int kel_cur_rule[KEL_MAX_UNITS][KEL_MAX_GROUPS];

// ---- one group's slots ----

int kel_acl_s::find(int id) const {
    if (!slot_of_) return -1;
    auto it = slot_of_->find(id);
    return it == slot_of_->end() ? -1 : it->second;
}

int kel_acl_s::lowest_free() const {
    if (full_words_ == ~std::uint64_t{0}) return -1;
    int w = std::countr_one(full_words_);
    return w * 64 + std::countr_one(taken_[static_cast<size_t>(w)]);
}

int kel_acl_s::next_taken(int from) const {
    if (from < 0) from = 0;
    for (int w = from / 64; w < kWords; ++w) {
        std::uint64_t bits = taken_[static_cast<size_t>(w)];
        if (w == from / 64) bits &= ~std::uint64_t{0} << (from % 64);
        if (bits) return w * 64 + std::countr_zero(bits);
    }
    return -1;
}

int kel_acl_s::prev_taken(int from) const {
    if (from >= KEL_MAX_RULES) from = KEL_MAX_RULES - 1;
    for (int w = from / 64; w >= 0 && from >= 0; --w) {
        std::uint64_t bits = taken_[static_cast<size_t>(w)];
        if (w == from / 64) bits &= ~std::uint64_t{0} >> (63 - from % 64);
        if (bits) return w * 64 + 63 - std::countl_zero(bits);
    }
    return -1;
}

void kel_acl_s::put(int slot, std::unique_ptr<kel_acl_rule_t> r) {
    auto w = static_cast<size_t>(slot / 64);
    if (!slot_of_) slot_of_ = std::make_unique<std::unordered_map<int, int>>();
    (*slot_of_)[r->rule_id] = slot;
    rule[static_cast<size_t>(slot)] = std::move(r);
    taken_[w] |= std::uint64_t{1} << (slot % 64);
    if (taken_[w] == ~std::uint64_t{0}) full_words_ |= std::uint64_t{1} << w;
    ++count_;
}

std::unique_ptr<kel_acl_rule_t> kel_acl_s::take(int slot) {
    auto w = static_cast<size_t>(slot / 64);
    std::unique_ptr<kel_acl_rule_t> r = std::move(rule[static_cast<size_t>(slot)]);
    if (!r) return r;
    slot_of_->erase(r->rule_id);
    taken_[w] &= ~(std::uint64_t{1} << (slot % 64));
    full_words_ &= ~(std::uint64_t{1} << w);
    --count_;
    return r;
}

void kel_acl_s::reset() {
    for (auto &r : rule) r.reset();
    taken_.fill(0);
    full_words_ = 0;
    count_ = 0;
    slot_of_.reset();
}

namespace kelf::rules {

bool unit_group_ok(int unit, int group) {
    return unit_inserted(unit) && unit < KEL_MAX_UNITS && group >= 0 && group < KEL_MAX_GROUPS;
}

int next_auto_id(int unit, int group) {
    int &cur = kel_cur_rule[unit][group];
    const kel_acl_t &t = kel_acl[unit][group];
    // At most count()+1 candidates: a group holds fewer ids than that.
    do {
        cur = cur >= kMaxAutoId ? 1 : cur + 1;
    } while (t.find(cur) >= 0);
    return cur;
}

fm_status compile_acls(int unit, const char *fn) {
    char text[1024] = {};
    fm_status st = fmCompileACL(unit, text, sizeof text, FM_ACL_COMPILE_FLAG_NON_DISRUPTIVE);
    text[sizeof text - 1] = '\0';
    if (st != FM_OK)
        KEL_RULE_LOG(fn, "kel: Failed compiling ACL (status:%s msg:%s)\n", text, fmErrorMsg(st));
    return st;
}

fm_status apply_acls(int unit, const char *fn) {
    fm_status st = fmApplyACL(unit, FM_ACL_APPLY_FLAG_NON_DISRUPTIVE);
    if (st != FM_OK) KEL_RULE_LOG(fn, "kel: Failed applying ACL (msg:%s)\n", fmErrorMsg(st));
    return st;
}

int uninstall(int unit, int group, int slot, const char *fn) {
    kel_acl_t &t = kel_acl[unit][group];
    const kel_acl_rule_t *r = t.at(slot);
    if (fmDeleteACLRule(unit, r->acl, r->rule_id) != FM_OK) {
        std::puts(kelf::msg::kDeleteRuleStateFailed);
        std::fflush(stdout);
        return -1;
    }
    // The switch no longer holds the rule, so neither does the table, even
    // when the compile or apply below fails.
    t.take(slot);
    if (compile_acls(unit, fn) != FM_OK) return -1;
    if (apply_acls(unit, fn) != FM_OK) return -1;
    return 0;
}

void reset_tables() {
    for (auto &unit : kel_acl)
        for (auto &group : unit) group.reset();
    std::memset(kel_cur_rule, 0, sizeof kel_cur_rule);
}

}  // namespace kelf::rules

using kelf::rules::unit_group_ok;

int kel_entry_remove_fn(int unit, int rule_id, int group) {
    if (!unit_group_ok(unit, group)) return -1;
    int slot = kel_acl[unit][group].find(rule_id);
    if (slot < 0) return 0;
    const kel_acl_rule_t *r = kel_acl[unit][group].at(slot);
    if (r->action & FM_ACL_ACTIONEXT_REDIRECT) {
        // A redirect rule is taken out only while its target port answers.
        fm_int mode = 0, state = 0, info[4] = {};
        fm_status st = fmGetPortState(unit, r->param.logicalPort, &mode, &state, info);
        if (st != FM_OK) {
            cleanup(st, "fmGetPortState");
            return -1;
        }
    }
    return kelf::rules::uninstall(unit, group, slot, "kel_entry_remove_fn");
}

int kel_clear_fn(int unit) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    for (int group = 0; group < KEL_MAX_GROUPS; ++group) {
        const kel_acl_t &t = kel_acl[unit][group];
        for (int slot = t.prev_taken(KEL_MAX_RULES - 1); slot >= 0; slot = t.prev_taken(slot - 1))
            if (kelf::rules::uninstall(unit, group, slot, "kel_clear_fn") != 0) return -1;
        kel_cur_rule[unit][group] = 0;
    }
    return 0;
}

namespace {

// An address word as the switch holds it, back into four bytes in the
// order the request carried them.
void put_le32(std::uint8_t *out, fm_uint32 w) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

// The inverse of the packing in the match translation: addr[3] holds bytes
// 0 to 3, addr[0] bytes 12 to 15.
void unpack_ip6(const fm_ipAddr &a, std::uint8_t *ip) {
    for (int i = 0; i < 4; ++i) put_le32(ip + 4 * i, a.addr[3 - i]);
}

void unpack_mac(fm_macaddr v, std::uint8_t *mac) {
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v >> (8 * (5 - i)));
}

}  // namespace

int kel_entry_query_fn(int unit, struct kel_mem *m) {
    if (!unit_group_ok(unit, m->group)) return -1;
    int slot = kel_acl[unit][m->group].find(m->rule_id);
    if (slot < 0) return 0;
    const kel_acl_rule_t &r = *kel_acl[unit][m->group].at(slot);
    const fm_aclValue &v = r.value;

    m->port = r.port;
    if (r.action & FM_ACL_ACTIONEXT_DENY) {
        m->rule_act = KEL_ACT_DROP;
    } else if (r.action & FM_ACL_ACTIONEXT_REDIRECT) {
        m->rule_act = KEL_ACT_REDIRECT;
        m->redir_port = r.param.logicalPort;
    } else if (r.action & FM_ACL_ACTIONEXT_LOAD_BALANCE) {
        m->rule_act = KEL_ACT_LBG;
        m->redir_port = r.param.lbgNumber;
    } else if (r.action & FM_ACL_ACTIONEXT_PERMIT) {
        m->rule_act = KEL_ACT_PERMIT;
    } else if (r.action & FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY) {
        m->rule_act = KEL_ACT_SET_SWITCH_PRI;
    } else if (r.action & FM_ACL_ACTIONEXT_MIRROR_GRP) {
        // Reported as the mirror command that made it.
        m->rule_act = KEL_ACT_MIRROR;
        m->mirror_port = r.param.mirrorGrp;
    }
    m->src_port = v.L4SrcStart;
    m->dst_port = v.L4DstStart;
    m->src_port_mask = v.L4SrcMask;
    m->dst_port_mask = v.L4DstMask;
    m->user_act = r.param.switchPriority;

    if (v.dstIp.isIPv6) {
        unpack_ip6(v.dstIp, m->dst_ip6.ip);
        unpack_ip6(v.dstIpMask, m->dst_ip6_mask.ip);
    } else {
        m->dst_ip = v.dstIp.addr[0];
        m->dst_ip_mask = v.dstIpMask.addr[0];
    }
    if (v.srcIp.isIPv6) {
        unpack_ip6(v.srcIp, m->src_ip6.ip);
        unpack_ip6(v.srcIpMask, m->src_ip6_mask.ip);
    } else {
        m->src_ip = v.srcIp.addr[0];
        m->src_ip_mask = v.srcIpMask.addr[0];
    }
    m->ip_protocol = v.protocol;
    m->vlan = v.vlanId;
    m->vlan_mask = v.vlanIdMask;
    m->ether_type = v.ethType;
    unpack_mac(v.src, m->src_mac.mac);
    unpack_mac(v.dst, m->dst_mac.mac);
    if (v.ethType == 0x8847) m->mpls_type = 1;
    if (v.ethType == 0x8848) m->mpls_type = 2;
    std::uint64_t header, mask;
    std::memcpy(&header, v.nonIPPayload, sizeof header);
    std::memcpy(&mask, v.nonIPPayloadMask, sizeof mask);
    m->mpls_header = header;
    m->mpls_header_mask = mask;
    return 0;
}

int kel_entry_query_list_fn(int unit, int group, struct kel_query_list *list) {
    if (!unit_group_ok(unit, group)) return -1;
    const kel_acl_t &t = kel_acl[unit][group];
    std::uint32_t n = 0;
    for (int slot = t.next_taken(0); slot >= 0; slot = t.next_taken(slot + 1))
        list->kel_id_list.id_list[n++] = static_cast<std::uint16_t>(t.at(slot)->rule_id);
    list->kel_id_list.rule_num = n;
    return 0;
}

int kel_rule_count_fn(int unit, int group, int rule_id, kel_rule_stat_t *stat) {
    fm_uint64 counter = 0;
    int ret = -1;
    if (unit_group_ok(unit, group)) {
        int slot = kel_acl[unit][group].find(rule_id);
        if (slot >= 0) {
            const kel_acl_rule_t *r = kel_acl[unit][group].at(slot);
            ret = fmGetACLCount(unit, r->acl, r->rule_id, &counter);
        }
    }
    stat->kel_rule_stat_cnt.counter = counter;
    stat->ret_val = ret;
    return ret;
}
