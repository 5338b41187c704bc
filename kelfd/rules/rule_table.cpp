// rule_table.cpp - the rule tables: one group's slots with their count,
// bitmap and id index, the automatic ids, and the tables' reset.
#include "rule_table.h"

#include <bit>
#include <cstring>

#include "daemon.h"

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
    // Only taken slots hold a rule: the reset costs what the group holds,
    // nothing for the empty groups a reset between tests mostly finds.
    if (count_ == 0 && !slot_of_) return;
    for (int s = next_taken(0); s >= 0; s = next_taken(s + 1)) rule[static_cast<size_t>(s)].reset();
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

void reset_tables() {
    for (auto &unit : kel_acl)
        for (auto &group : unit) group.reset();
    std::memset(kel_cur_rule, 0, sizeof kel_cur_rule);
}

}  // namespace kelf::rules
