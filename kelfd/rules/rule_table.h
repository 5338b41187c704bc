// rule_table.h - the daemon's record of its installed rules: per unit and
// group one table of 4096 slots, each slot owning at most one rule, the
// automatic ids, and the unit and group check every rule command makes.
//
// Group g of a unit is the switch's ACL g; a rule's id is its rule number in
// that ACL. Removing, clearing, querying, listing and counting work from
// these tables alone and never ask the switch which rules exist.
#pragma once

#include <kelf/packed.h>
#include <kelfd/kel_lib.h>

#include <array>
#include <cstdint>
#include <memory>

#include "fm_sdk.h"

// One installed rule: exactly what the switch was handed for it.
// The members are laid out without padding: the table holds many.
typedef struct kel_acl_rule {
    fm_int acl;      // the group
    fm_int rule_id;  // rule number in the ACL, and the id the client sees
    fm_int port;     // ingress port of the request, 0 for none
    fm_aclParamExt param;
    fm_aclCondition cond;
    // Its nonzero words only: a full table of 4096-rule groups would hold
    // mostly zeros otherwise.
    kelf::Packed<fm_aclValue> value;
    fm_aclActionExt action;
} kel_acl_rule_t;
static_assert(sizeof(kel_acl_rule_t) <= 88, "a record and its heap header in 96 bytes");

// One group's slots. A null slot is free. Beside the slots it keeps a count,
// a bitmap of taken slots and an id index, so that adding a rule costs the
// same however many the group holds; every change goes through put/take to
// keep them in step with the slots.
typedef struct kel_acl_s {
    const kel_acl_rule_t *at(int slot) const { return rule[static_cast<size_t>(slot)].get(); }
    int count() const { return count_; }
    bool full() const { return count_ == KEL_MAX_RULES; }
    // The slot holding rule id, or -1.
    int find(int id) const;
    // The lowest free slot, or -1 when the group is full.
    int lowest_free() const;
    // The next taken slot at or above from (ascending) or at or below from
    // (descending), or -1.
    int next_taken(int from) const;
    int prev_taken(int from) const;
    // Puts r into free slot `slot`, or takes a slot's rule out.
    void put(int slot, std::unique_ptr<kel_acl_rule_t> r);
    std::unique_ptr<kel_acl_rule_t> take(int slot);
    void reset();

private:
    static constexpr int kWords = KEL_MAX_RULES / 64;
    std::array<std::unique_ptr<kel_acl_rule_t>, KEL_MAX_RULES> rule;
    std::array<std::uint64_t, kWords> taken_{};  // bit s%64 of word s/64: slot s taken
    std::uint64_t full_words_ = 0;               // bit w: word w all taken
    int count_ = 0;
    // Rule id -> slot; ids are unique in a group. An open-addressing table
    // (linear probing, a power of two cells, at most half full) of slot + 1,
    // 0 for an empty cell; the id is the slot's rule's. Made on the group's
    // first rule, so that the 256 empty tables need no start-up work at all.
    std::size_t home(int id) const;
    void index_grow();
    std::unique_ptr<std::uint16_t[]> index_;
    std::size_t cells_ = 0;
} kel_acl_t;

extern kel_acl_t kel_acl[KEL_MAX_UNITS][KEL_MAX_GROUPS];
// The id most recently handed out automatically, per unit and group.
extern int kel_cur_rule[KEL_MAX_UNITS][KEL_MAX_GROUPS];

namespace kelf::rules {

// The id list of a group carries ids as 16 bits: the daemon never chooses
// an id a list would misreport. Explicit ids above it are the caller's own.
inline constexpr int kMaxAutoId = 0xFFFF;

// True when unit is a switch that is up and group a rule group: the check
// every rule command makes before it indexes a table.
bool unit_group_ok(int unit, int group);

// The automatic id for a new rule of the group: the smallest id above
// kel_cur_rule (wrapping from 65535 to 1) that no rule of the group holds.
// Raises kel_cur_rule to it.
int next_auto_id(int unit, int group);

// Empties every table and forgets the automatic ids. The switch is not
// touched.
void reset_tables();

}  // namespace kelf::rules
