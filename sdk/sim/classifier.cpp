// classifier.cpp - tuple-space search over the rules in force.
#include "classifier.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

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
    if constexpr (std::endian::native == std::endian::little) {
        static_assert(sizeof f.payload == 4 * sizeof(std::uint64_t));
        std::memcpy(&k[8], f.payload, sizeof f.payload);  // byte i lands at bits 8*(i%8) already
    } else {
        for (int i = 0; i < 32; ++i)
            k[static_cast<size_t>(8 + i / 8)] |= std::uint64_t{f.payload[i]} << (8 * (i % 8));
    }
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

namespace {

inline std::uint64_t hash_word(std::uint64_t h, std::uint64_t w) {
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
}

}  // namespace

Classifier::Tuple::Tuple(const Key &m) : mask(m), slots(16) {
    for (int w = 0; w < kKeyWords; ++w)
        if (m[static_cast<size_t>(w)] != 0) words[nwords++] = static_cast<std::uint8_t>(w);
}

// Inlined into the lookup: they are most of its work.
[[gnu::always_inline]] inline std::uint64_t Classifier::Tuple::hash(const Key &k) const {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (int j = 0; j < nwords; ++j) h = hash_word(h, k[words[j]] & mask[words[j]]);
    return h;
}

[[gnu::always_inline]] inline const Classifier::Values *Classifier::Tuple::find(
    const Key &k, std::uint64_t h) const {
    const std::size_t m = slots.size() - 1;
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = h & m;; i = (i + 1) & m) {
        const Slot &s = slots[i];
        if (s.at == kEmpty) return nullptr;
        if (s.tag != tag) continue;
        const std::uint64_t *key = keys.data() + static_cast<std::size_t>(s.at) * nwords;
        bool same = true;
        for (int j = 0; j < nwords && same; ++j) same = (k[words[j]] & mask[words[j]]) == key[j];
        if (same) return &values[s.at];
    }
}

bool Classifier::Tuple::key_is(std::uint32_t at, const Key &k) const {
    const std::uint64_t *key = keys.data() + static_cast<std::size_t>(at) * nwords;
    for (int j = 0; j < nwords; ++j)
        if (key[j] != k[words[j]]) return false;
    return true;
}

std::size_t Classifier::Tuple::slot_of(const Key &masked, std::uint64_t h) const {
    const std::size_t m = slots.size() - 1;
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = h & m;; i = (i + 1) & m) {
        const Slot &s = slots[i];
        if (s.at == kEmpty || (s.tag == tag && key_is(s.at, masked))) return i;
    }
}

void Classifier::Tuple::place(std::uint32_t at, std::uint64_t h) {
    const std::size_t m = slots.size() - 1;
    std::size_t i = h & m;
    while (slots[i].at != kEmpty) i = (i + 1) & m;
    slots[i] = {static_cast<std::uint32_t>(h >> 32), at};
}

void Classifier::Tuple::grow() {
    slots.assign(slots.size() * 2, Slot{});
    for (std::size_t at = 0; at < values.size(); ++at)
        if (!values[at].items.empty()) place(static_cast<std::uint32_t>(at), values[at].hash);
}

std::uint32_t Classifier::Tuple::get(const Key &masked) {
    const std::uint64_t h = hash(masked);
    std::size_t i = slot_of(masked, h);
    if (slots[i].at != kEmpty) return slots[i].at;
    if ((count + 1) * 2 > slots.size()) {
        grow();
        i = slot_of(masked, h);
    }
    std::uint32_t at;
    if (free_values.empty()) {
        at = static_cast<std::uint32_t>(values.size());
        values.emplace_back();
        keys.resize(keys.size() + static_cast<std::size_t>(nwords));
    } else {
        at = free_values.back();
        free_values.pop_back();
    }
    for (int j = 0; j < nwords; ++j)
        keys[static_cast<std::size_t>(at) * nwords + static_cast<std::size_t>(j)] =
            masked[words[j]];
    values[at].hash = h;
    ++count;
    slots[i] = {static_cast<std::uint32_t>(h >> 32), at};
    return at;
}

// The caller has emptied the value's rules: an empty value is a free one.
void Classifier::Tuple::erase(std::uint32_t at) {
    const std::size_t m = slots.size() - 1;
    std::size_t i = values[at].hash & m;
    while (slots[i].at != at) {
        if (slots[i].at == kEmpty) return;
        i = (i + 1) & m;
    }
    Bucket().swap(values[at].items);
    free_values.push_back(at);
    --count;
    // Backward-shift deletion: move later slots of the same run into the
    // hole when their home lies at or before it, so that no probe stops early.
    for (std::size_t j = i;;) {
        j = (j + 1) & m;
        if (slots[j].at == kEmpty) break;
        const std::size_t home = values[slots[j].at].hash & m;
        const bool stays = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        slots[i] = slots[j];
        i = j;
    }
    slots[i] = Slot{};
}

void Classifier::compile(const LiveRule &rule, Key *mask, Key *value, Residual *residual) {
    const fm_aclCondition c = rule.cond;
    const fm_aclValue v = rule.value.get();
    Key &m = *mask, &x = *value;
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
    Residual &r = *residual;
    r = Residual{};
    if (c & FM_ACL_MATCH_SRC_MAC) put(0, v.srcMask, v.src);
    if (c & FM_ACL_MATCH_DST_MAC) put(1, v.dstMask, v.dst);
    if (c & FM_ACL_MATCH_ETHERTYPE) put(2, v.ethTypeMask, v.ethType);
    if (c & FM_ACL_MATCH_VLAN)
        put(2, std::uint64_t{v.vlanIdMask} << 16, std::uint64_t{v.vlanId} << 16);
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
}

void Classifier::order_acls() {
    order_.clear();
    for (const auto &[n, slot] : acls_) order_.emplace_back(n, slot.id);
}

void Classifier::order_tuples() {
    std::stable_sort(tuples_.begin(), tuples_.end(),
                     [](const Tuple *a, const Tuple *b) { return a->lowest < b->lowest; });
}

std::vector<Classifier::Ref>::iterator Classifier::AclSlot::find(int rule) {
    auto it = std::lower_bound(refs.begin(), refs.end(), rule,
                               [](const Ref &r, int n) { return r.rule < n; });
    return it != refs.end() && it->rule == rule ? it : refs.end();
}

std::uint32_t Classifier::keep_residual(const Residual &r) {
    if (!(r.port_set || r.tag || r.src_range || r.dst_range)) return 0;
    std::uint32_t at;
    if (free_residuals_.empty()) {
        at = static_cast<std::uint32_t>(residuals_.size());
        residuals_.push_back(r);
    } else {
        at = free_residuals_.back();
        free_residuals_.pop_back();
        residuals_[at] = r;
    }
    return at + 1;
}

void Classifier::add(RuleRef r) {
    const int acl = r->acl, number = r->rule;
    remove(acl, number);
    Key mask, value;
    Residual residual;
    compile(*r, &mask, &value, &residual);
    auto [slot, fresh] = acls_.try_emplace(acl);
    if (fresh) {
        slot->second.acl = acl;
        if (free_ids_.empty()) {
            slot->second.id = next_id_++;
        } else {
            slot->second.id = free_ids_.back();
            free_ids_.pop_back();
        }
        order_acls();
    }
    AclSlot &s = slot->second;

    auto found = by_mask_.find(mask);
    Tuple *t;
    bool reorder = false;
    if (found == by_mask_.end()) {
        auto owned = std::make_unique<Tuple>(mask);
        t = owned.get();
        by_mask_.emplace(mask, std::move(owned));
        tuples_.push_back(t);
        t->lowest = number;
        reorder = true;
    } else {
        t = found->second.get();
        if (number < t->lowest) reorder = true;
    }
    ++t->numbers[number];
    t->lowest = t->numbers.begin()->first;

    const std::uint32_t at = t->get(value);
    auto ref = std::lower_bound(s.refs.begin(), s.refs.end(), number,
                                [](const Ref &e, int n) { return e.rule < n; });
    s.refs.insert(ref, Ref{number, at, t});
    ++size_;

    Bucket &b = t->values[at].items;
    const int id = s.id;
    auto lane =
        std::lower_bound(b.begin(), b.end(), id, [](const Lane &l, int n) { return l.slot < n; });
    if (lane == b.end() || lane->slot != id) lane = b.insert(lane, Lane{id, {}});
    std::vector<Item> &items = lane->items;
    auto place = std::lower_bound(items.begin(), items.end(), number,
                                  [](const Item &i, int n) { return i.number < n; });
    std::uint64_t *frames = r->frames.get();
    const fm_aclActionExt action = r->action;
    items.insert(place, Item{std::move(r), frames, action, number, keep_residual(residual)});
    if (reorder) order_tuples();
}

void Classifier::remove(int acl, int rule) {
    auto slot = acls_.find(acl);
    if (slot == acls_.end()) return;
    AclSlot &s = slot->second;
    auto ref = s.find(rule);
    if (ref == s.refs.end()) return;
    Tuple *t = ref->tuple;
    const std::uint32_t at = ref->at;
    s.refs.erase(ref);
    --size_;
    Bucket &b = t->values[at].items;
    auto lane =
        std::lower_bound(b.begin(), b.end(), s.id, [](const Lane &l, int n) { return l.slot < n; });
    if (lane != b.end() && lane->slot == s.id) {
        std::vector<Item> &items = lane->items;
        auto item = std::lower_bound(items.begin(), items.end(), rule,
                                     [](const Item &i, int n) { return i.number < n; });
        if (item != items.end() && item->number == rule) {
            if (item->residual != 0) free_residuals_.push_back(item->residual - 1);
            items.erase(item);
        }
        if (items.empty()) b.erase(lane);
    }
    if (b.empty()) t->erase(at);
    auto n = t->numbers.find(rule);
    if (n != t->numbers.end() && --n->second == 0) t->numbers.erase(n);
    if (t->numbers.empty()) {
        tuples_.erase(std::find(tuples_.begin(), tuples_.end(), t));
        by_mask_.erase(t->mask);  // frees t
    } else if (t->numbers.begin()->first != t->lowest) {
        t->lowest = t->numbers.begin()->first;
        order_tuples();
    }
    if (s.refs.empty()) {
        free_ids_.push_back(s.id);
        acls_.erase(slot);
        order_acls();
    }
}

void Classifier::clear() {
    tuples_.clear();
    by_mask_.clear();
    acls_.clear();
    order_.clear();
    free_ids_.clear();
    next_id_ = 0;
    residuals_.clear();
    free_residuals_.clear();
    size_ = 0;
}

void Classifier::lookup(const Key &key, const FrameFacts &facts, std::vector<Hit> *hits) const {
    best_rule_.assign(static_cast<size_t>(next_id_), INT_MAX);
    best_.assign(static_cast<size_t>(next_id_), nullptr);
    std::size_t unresolved = order_.size();
    int worst = INT_MIN;  // the highest rule number among the hits, once every ACL has one
    for (const Tuple *t : tuples_) {
        // No rule of this tuple or a later one can beat a hit already found.
        if (unresolved == 0 && t->lowest >= worst) break;
        const Values *v = t->find(key, t->hash(key));
        if (v == nullptr) continue;
        bool changed = false;
        for (const Lane &lane : v->items) {
            auto slot = static_cast<size_t>(lane.slot);
            // A lane's later rules are higher still.
            for (const Item &i : lane.items) {
                if (i.number >= best_rule_[slot]) break;
                if (i.residual != 0 && !residuals_[i.residual - 1].holds(facts)) continue;
                if (best_[slot] == nullptr) --unresolved;
                // The caller increments the hit's counter: start fetching it now.
                __builtin_prefetch(i.frames, 1);
                best_rule_[slot] = i.number;
                best_[slot] = &i;
                changed = true;
                break;
            }
        }
        if (changed && unresolved == 0) {
            worst = INT_MIN;
            for (const auto &[acl, id] : order_)
                worst = std::max(worst, best_rule_[static_cast<size_t>(id)]);
        }
    }
    hits->resize(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const Item *i = best_[static_cast<size_t>(order_[k].second)];
        (*hits)[k] = i ? Hit{order_[k].first, i->rule.get(), i->action, i->frames}
                       : Hit{order_[k].first, nullptr, 0, nullptr};
    }
}

}  // namespace fmsim
