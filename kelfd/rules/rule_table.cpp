// rule_table.cpp - the rule tables: one group's slots with their count,
// bitmap and id index, the automatic ids, and the tables' reset.
#include "rule_table.h"

#include <bit>
#include <cstring>

#include "daemon.h"

kel_acl_t kel_acl[KEL_MAX_UNITS][KEL_MAX_GROUPS];
int kel_cur_rule[KEL_MAX_UNITS][KEL_MAX_GROUPS];

// ---- one group's slots ----

static_assert(KEL_MAX_RULES < 0xFFFF, "a cell holds slot + 1 in 16 bits");

std::size_t kel_acl_s::home(int id) const {
    std::uint64_t h = static_cast<std::uint32_t>(id) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & (cells_ - 1);
}

int kel_acl_s::find(int id) const {
    if (!index_) return -1;
    for (std::size_t i = home(id);; i = (i + 1) & (cells_ - 1)) {
        const int cell = index_[i];
        if (cell == 0) return -1;
        if (rule[static_cast<size_t>(cell - 1)]->rule_id == id) return cell - 1;
    }
}

void kel_acl_s::index_grow() {
    cells_ = cells_ == 0 ? 16 : cells_ * 2;
    index_ = std::make_unique<std::uint16_t[]>(cells_);  // all empty
    for (int s = next_taken(0); s >= 0; s = next_taken(s + 1)) {
        std::size_t i = home(rule[static_cast<size_t>(s)]->rule_id);
        while (index_[i] != 0) i = (i + 1) & (cells_ - 1);
        index_[i] = static_cast<std::uint16_t>(s + 1);
    }
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
    if (static_cast<std::size_t>(count_ + 1) * 2 > cells_) index_grow();
    std::size_t i = home(r->rule_id);
    while (index_[i] != 0) i = (i + 1) & (cells_ - 1);
    index_[i] = static_cast<std::uint16_t>(slot + 1);
    rule[static_cast<size_t>(slot)] = std::move(r);
    taken_[w] |= std::uint64_t{1} << (slot % 64);
    if (taken_[w] == ~std::uint64_t{0}) full_words_ |= std::uint64_t{1} << w;
    ++count_;
}

std::unique_ptr<kel_acl_rule_t> kel_acl_s::take(int slot) {
    auto w = static_cast<size_t>(slot / 64);
    std::unique_ptr<kel_acl_rule_t> r = std::move(rule[static_cast<size_t>(slot)]);
    if (!r) return r;
    // Its cell, then backward-shift deletion: later cells of the same run
    // move into the hole unless their home lies after it, so that no probe
    // stops early.
    const std::size_t m = cells_ - 1;
    std::size_t i = home(r->rule_id);
    while (index_[i] != slot + 1) i = (i + 1) & m;
    for (std::size_t j = i;;) {
        j = (j + 1) & m;
        if (index_[j] == 0) break;
        const std::size_t h = home(rule[static_cast<size_t>(index_[j] - 1)]->rule_id);
        const bool stays = (i <= j) ? (i < h && h <= j) : (i < h || h <= j);
        if (stays) continue;
        index_[i] = index_[j];
        i = j;
    }
    index_[i] = 0;
    taken_[w] &= ~(std::uint64_t{1} << (slot % 64));
    full_words_ &= ~(std::uint64_t{1} << w);
    --count_;
    return r;
}

void kel_acl_s::reset() {
    // Only taken slots hold a rule: the reset costs what the group holds,
    // nothing for the empty groups a reset between tests mostly finds.
    if (count_ == 0 && !index_) return;
    for (int s = next_taken(0); s >= 0; s = next_taken(s + 1)) rule[static_cast<size_t>(s)].reset();
    taken_.fill(0);
    full_words_ = 0;
    count_ = 0;
    index_.reset();
    cells_ = 0;
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
