// classifier.cpp - tuple-space search over the rules in force.
#include "classifier.h"

#include <algorithm>
#include <climits>

#include "frame.h"
#include "sim.h"

namespace fmsim {

Key frame_key(const FmsimParsedFrame &f, int vlan, std::uint16_t glort) {
    Key k{};
    k[0] = f.smac;
    k[1] = f.dmac;
    k[2] = std::uint64_t{f.ethertype} | (std::uint64_t(vlan & 0xFFFF) << 16) |
           (std::uint64_t{f.protocol} << 32) | (std::uint64_t{glort} << 40);
    std::uint64_t flags = 0;
    if (f.ipv4) flags |= kFlagIpv4 | kFlagIp;
    if (f.ipv6) flags |= kFlagIpv6 | kFlagIp;
    if (f.l4) flags |= kFlagL4 | f.src_port | (std::uint64_t{f.dst_port} << 16);
    k[3] = flags;
    k[4] = f.src_ip[0] | (std::uint64_t{f.src_ip[1]} << 32);
    k[5] = f.src_ip[2] | (std::uint64_t{f.src_ip[3]} << 32);
    k[6] = f.dst_ip[0] | (std::uint64_t{f.dst_ip[1]} << 32);
    k[7] = f.dst_ip[2] | (std::uint64_t{f.dst_ip[3]} << 32);
    for (int i = 0; i < 32; ++i)
        k[static_cast<size_t>(8 + i / 8)] |= std::uint64_t{f.payload[i]} << (8 * (i % 8));
    return k;
}

bool tag_type_holds(int type, const FmsimParsedFrame &f) {
    bool customer = false, service = false;
    for (int i = 0; i < f.tags; ++i) {
        if (f.tpid[i] == kTpidService)
            service = true;
        else
            customer = true;
    }
    switch (type) {
        case FM_ACL_VLAN_TAG_TYPE_NONE:
            return f.tags == 0;
        case FM_ACL_VLAN_TAG_TYPE_STANDARD:
            return f.tags > 0 && f.tpid[0] == kTpidStandard;
        case FM_ACL_VLAN_TAG_TYPE_USER_A:
            return f.tags > 0 && f.tpid[0] == kTpidUserA;
        case FM_ACL_VLAN_TAG_TYPE_USER_B:
            return f.tags > 0 && f.tpid[0] == kTpidUserB;
        case FM_ACL_VLAN_TAG_TYPE_VLAN1:
            return customer;
        case FM_ACL_VLAN_TAG_TYPE_VLAN2:
            return service;
        case FM_ACL_VLAN_TAG_TYPE_ONLY_VLAN1:
            return customer && !service;
        case FM_ACL_VLAN_TAG_TYPE_ONLY_VLAN2:
            return service && !customer;
        case FM_ACL_VLAN_TAG_TYPE_VLAN1_VLAN2:
            return customer && service;
        case FM_ACL_VLAN_TAG_TYPE_VLAN2_UNTAG:
            return f.tags == 1 && service;
        default:
            return false;  // a tag type the switch does not know matches nothing
    }
}

bool Classifier::Residual::holds(const FrameFacts &facts) const {
    const FmsimParsedFrame &f = *facts.frame;
    if (port_set) {
        auto it = facts.port_sets->find(set);
        if (it == facts.port_sets->end() || it->second.count(facts.port) == 0) return false;
    }
    if (tag && !tag_type_holds(tag_type, f)) return false;
    if (src_range && (f.src_port < src_lo || f.src_port > src_hi)) return false;
    if (dst_range && (f.dst_port < dst_lo || f.dst_port > dst_hi)) return false;
    return true;
}

std::size_t Classifier::KeyHash::operator()(const Key &k) const {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::uint16_t u = used; u != 0; u &= static_cast<std::uint16_t>(u - 1)) {
        h = (h ^ k[static_cast<size_t>(__builtin_ctz(u))]) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return static_cast<std::size_t>(h);
}

void Classifier::compile(Entry &e) {
    const fm_aclCondition c = e.rule.cond;
    const fm_aclValue &v = e.rule.value;
    Key &m = e.mask, &x = e.value;
    m = {};
    x = {};
    auto put = [&](int w, std::uint64_t mask, std::uint64_t value) {
        m[static_cast<size_t>(w)] |= mask;
        x[static_cast<size_t>(w)] |= value & mask;
    };
    auto ip = [&](int w, const fm_ipAddr &a, const fm_ipAddr &mask) {
        if (a.isIPv6) {
            put(w, mask.addr[0] | (std::uint64_t{mask.addr[1]} << 32),
                a.addr[0] | (std::uint64_t{a.addr[1]} << 32));
            put(w + 1, mask.addr[2] | (std::uint64_t{mask.addr[3]} << 32),
                a.addr[2] | (std::uint64_t{a.addr[3]} << 32));
            put(3, kFlagIpv6, kFlagIpv6);
        } else {
            put(w, mask.addr[0], a.addr[0]);
            put(3, kFlagIpv4, kFlagIpv4);
        }
    };
    Residual &r = e.residual;
    r = Residual{};
    if (c & FM_ACL_MATCH_SRC_MAC) put(0, v.srcMask, v.src);
    if (c & FM_ACL_MATCH_DST_MAC) put(1, v.dstMask, v.dst);
    if (c & FM_ACL_MATCH_ETHERTYPE) put(2, v.ethTypeMask, v.ethType);
    if (c & FM_ACL_MATCH_VLAN) put(2, std::uint64_t{v.vlanIdMask} << 16, std::uint64_t{v.vlanId} << 16);
    if (c & FM_ACL_MATCH_SRC_IP) ip(4, v.srcIp, v.srcIpMask);
    if (c & FM_ACL_MATCH_DST_IP) ip(6, v.dstIp, v.dstIpMask);
    if (c & FM_ACL_MATCH_PROTOCOL) {
        put(2, std::uint64_t{v.protocolMask} << 32, std::uint64_t{v.protocol} << 32);
        put(3, kFlagIp, kFlagIp);
    }
    // A start/end pair: one port when the end does not lie above the start.
    if (c & FM_ACL_MATCH_L4_SRC_PORT) {
        put(3, kFlagL4, kFlagL4);
        if (v.L4SrcEnd > v.L4SrcStart)
            r.src_range = true, r.src_lo = v.L4SrcStart, r.src_hi = v.L4SrcEnd;
        else
            put(3, 0xFFFF, v.L4SrcStart);
    }
    if (c & FM_ACL_MATCH_L4_DST_PORT) {
        put(3, kFlagL4, kFlagL4);
        if (v.L4DstEnd > v.L4DstStart)
            r.dst_range = true, r.dst_lo = v.L4DstStart, r.dst_hi = v.L4DstEnd;
        else
            put(3, 0xFFFF0000, std::uint64_t{v.L4DstStart} << 16);
    }
    if (c & FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK) {
        put(3, kFlagL4, kFlagL4);
        put(3, v.L4SrcMask, v.L4SrcStart);
    }
    if (c & FM_ACL_MATCH_L4_DST_PORT_WITH_MASK) {
        put(3, kFlagL4, kFlagL4);
        put(3, std::uint64_t{v.L4DstMask} << 16, std::uint64_t{v.L4DstStart} << 16);
    }
    if (c & FM_ACL_MATCH_NON_IP_PAYLOAD)
        for (int i = 0; i < FM_MAX_ACL_NON_IP_PAYLOAD_BYTES; ++i)
            put(8 + i / 8, std::uint64_t{v.nonIPPayloadMask[i]} << (8 * (i % 8)),
                std::uint64_t{v.nonIPPayload[i]} << (8 * (i % 8)));
    if (c & FM_ACL_MATCH_INGRESS_PORT_SET) r.port_set = true, r.set = v.portSet;
    if (c & FM_ACL_MATCH_VLAN_TAG_TYPE) r.tag = true, r.tag_type = raw_enum(v.vlanTag);
    if (c & FM_ACL_MATCH_SRC_GLORT)
        put(2, std::uint64_t{v.srcGlortMask} << 40, std::uint64_t{v.srcGlort} << 40);
    e.plain = !(r.port_set || r.tag || r.src_range || r.dst_range);
}

void Classifier::order_acls() {
    order_.clear();
    for (const auto &[n, slot] : acls_) order_.emplace_back(n, slot.id);
}

void Classifier::order_tuples() {
    std::stable_sort(tuples_.begin(), tuples_.end(),
                     [](const Tuple *a, const Tuple *b) { return a->lowest < b->lowest; });
}

void Classifier::relink(Bucket &b) {
    auto end = static_cast<std::uint32_t>(b.size());
    for (std::uint32_t k = end; k-- > 0;)
        b[k].next = (k + 1 < end && b[k + 1].slot == b[k].slot) ? b[k + 1].next : k + 1;
}

void Classifier::add(const LiveRule &r) {
    remove(r.acl, r.rule);
    auto e = std::make_unique<Entry>();
    e->rule = r;
    compile(*e);
    auto [slot, fresh] = acls_.try_emplace(r.acl);
    if (fresh) {
        slot->second.acl = r.acl;
        if (free_ids_.empty()) {
            slot->second.id = next_id_++;
        } else {
            slot->second.id = free_ids_.back();
            free_ids_.pop_back();
        }
        order_acls();
    }
    ++slot->second.rules;
    e->slot = &slot->second;

    auto found = by_mask_.find(e->mask);
    Tuple *t;
    bool reorder = false;
    if (found == by_mask_.end()) {
        std::uint16_t used = 0;
        for (int w = 0; w < kKeyWords; ++w)
            if (e->mask[static_cast<size_t>(w)] != 0) used = static_cast<std::uint16_t>(used | (1u << w));
        auto owned = std::make_unique<Tuple>(e->mask, used);
        t = owned.get();
        by_mask_.emplace(e->mask, std::move(owned));
        tuples_.push_back(t);
        t->lowest = r.rule;
        reorder = true;
    } else {
        t = found->second.get();
        if (r.rule < t->lowest) reorder = true;
    }
    e->tuple = t;
    t->numbers.insert(r.rule);
    t->lowest = *t->numbers.begin();
    Bucket &b = t->table[e->value];
    Item item{r.rule, e->slot->id, e->plain, 0, e.get(), r.action, e->rule.frames.get()};
    auto at = std::lower_bound(b.begin(), b.end(), item, [](const Item &a, const Item &n) {
        return std::pair(a.slot, a.rule) < std::pair(n.slot, n.rule);
    });
    b.insert(at, item);
    relink(b);
    entries_.emplace(std::pair(r.acl, r.rule), std::move(e));
    if (reorder) order_tuples();
}

void Classifier::remove(int acl, int rule) {
    auto it = entries_.find({acl, rule});
    if (it == entries_.end()) return;
    Entry *e = it->second.get();
    Tuple *t = e->tuple;
    auto b = t->table.find(e->value);
    if (b != t->table.end()) {
        Bucket &items = b->second;
        items.erase(std::remove_if(items.begin(), items.end(),
                                   [e](const Item &i) { return i.entry == e; }),
                    items.end());
        if (items.empty())
            t->table.erase(b);
        else
            relink(items);
    }
    t->numbers.erase(t->numbers.find(rule));
    if (t->numbers.empty()) {
        tuples_.erase(std::find(tuples_.begin(), tuples_.end(), t));
        by_mask_.erase(t->mask);  // frees t
    } else if (*t->numbers.begin() != t->lowest) {
        t->lowest = *t->numbers.begin();
        order_tuples();
    }
    AclSlot *s = e->slot;
    entries_.erase(it);
    if (--s->rules == 0) {
        free_ids_.push_back(s->id);
        acls_.erase(s->acl);
        order_acls();
    }
}

void Classifier::clear() {
    tuples_.clear();
    by_mask_.clear();
    entries_.clear();
    acls_.clear();
    order_.clear();
    free_ids_.clear();
    next_id_ = 0;
}

void Classifier::lookup(const Key &key, const FrameFacts &facts, std::vector<Hit> *hits) const {
    best_rule_.assign(static_cast<size_t>(next_id_), INT_MAX);
    best_.assign(static_cast<size_t>(next_id_), nullptr);
    std::size_t unresolved = order_.size();
    int worst = INT_MIN;  // the highest rule number among the hits, once every ACL has one
    for (const Tuple *t : tuples_) {
        // No rule of this tuple or a later one can beat a hit already found.
        if (unresolved == 0 && t->lowest >= worst) break;
        Key masked{};
        for (std::uint16_t u = t->used; u != 0; u &= static_cast<std::uint16_t>(u - 1)) {
            auto w = static_cast<size_t>(__builtin_ctz(u));
            masked[w] = key[w] & t->mask[w];
        }
        auto b = t->table.find(masked);
        if (b == t->table.end()) continue;
        const Bucket &items = b->second;
        bool changed = false;
        for (std::size_t k = 0; k < items.size();) {
            const Item &i = items[k];
            auto slot = static_cast<size_t>(i.slot);
            // Later rules of this slot in the bucket are higher still.
            if (i.rule >= best_rule_[slot]) {
                k = i.next;
                continue;
            }
            if (!i.plain && !i.entry->residual.holds(facts)) {
                ++k;
                continue;
            }
            if (best_[slot] == nullptr) --unresolved;
            best_rule_[slot] = i.rule;
            best_[slot] = &i;
            changed = true;
            k = i.next;
        }
        if (changed && unresolved == 0) {
            worst = INT_MIN;
            for (const auto &[acl, id] : order_) worst = std::max(worst, best_rule_[static_cast<size_t>(id)]);
        }
    }
    hits->resize(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const Item *i = best_[static_cast<size_t>(order_[k].second)];
        (*hits)[k] = i ? Hit{order_[k].first, &i->entry->rule, i->action, i->frames}
                       : Hit{order_[k].first, nullptr, 0, nullptr};
    }
}

}  // namespace fmsim
