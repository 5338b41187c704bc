// classifier.h - fmsim's rule lookup: the rules in force of every ACL of a
// switch, found for a frame without scanning them. Internal to fmsim.
//
// Tuple-space search. A rule's conditions become a mask and a value over one
// fixed-layout key of frame fields, plus the few conditions no mask can say
// (port sets, VLAN tag types, L4 port ranges). Rules with the same mask,
// whatever their ACL, share a tuple: a hash table from masked key to the
// rules holding that value, ordered by rule number. A lookup masks the
// frame's key once per tuple and probes; tuples are visited in the order of
// the lowest rule number they hold, so once every ACL has a hit below the
// next tuple's lowest number the search stops. Adding or removing a rule
// touches one tuple, and in it one ACL's rules of one value: rules that
// share a match cost no more to add or remove than rules that do not.
//
// The classifier shares each rule with the ACL that holds it rather than
// keeping a copy, and keeps no mask or value per rule beyond the tuple's: a
// rule in force is one item in its lane and one reference in its ACL's
// index, nothing else.
#pragma once

#include <kelf/packed.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "fm_sdk.h"
#include "fmsim_forward.h"

namespace fmsim {

inline constexpr int kKeyWords = 12;
using Key = std::array<std::uint64_t, kKeyWords>;

// Word 3's flag bits: what kind of frame it is, for the conditions that
// need an IP frame or L4 ports.
inline constexpr std::uint64_t kFlagIpv4 = 1ull << 32;
inline constexpr std::uint64_t kFlagIpv6 = 1ull << 33;
inline constexpr std::uint64_t kFlagIp = 1ull << 34;
inline constexpr std::uint64_t kFlagL4 = 1ull << 35;

// The key of a frame: its fields in the places rule masks address.
//   0 source MAC             1 destination MAC
//   2 EtherType (bits 0-15), VLAN (16-31), protocol (32-39), source glort (40-55)
//   3 L4 source port (0-15), L4 destination port (16-31), flags (32-35)
//   4,5 source IP words 0,1 and 2,3     6,7 destination IP likewise
//   8-11 the 32 payload bytes, byte i at bits 8*(i%8) of word 8+i/8
Key frame_key(const FmsimParsedFrame &f, int vlan, std::uint16_t glort);

using PortSets = std::map<fm_int, std::set<fm_int>>;

// What the conditions that no mask expresses look at.
struct FrameFacts {
    const FmsimParsedFrame *frame;
    int port;  // the ingress port
    const PortSets *port_sets;
};

// True when the VLAN tag type condition `type` holds for the frame.
bool tag_type_holds(int type, const FmsimParsedFrame &f);

// Gives a rule's frame counter back to the pool it came from (acl.cpp).
struct CounterRelease {
    void operator()(std::uint64_t *counter) const;
};

// One rule in force.
struct LiveRule {
    int acl = 0;
    int rule = 0;
    fm_aclCondition cond = 0;
    kelf::Packed<fm_aclValue> value;  // its nonzero words: most of a value is zero
    fm_aclActionExt action = 0;
    fm_aclParamExt param{};
    // Holders of the rule (see RuleRef), in the padding after param.
    mutable std::atomic<std::int32_t> holders{0};
    // The frame counter, one of fmsim's pool of counters, given back with
    // the rule.
    std::unique_ptr<std::uint64_t, CounterRelease> frames;
};

// A shared hold of a rule: the ACL that holds it, the journal of changes
// and the classifier while it is in force. The count lives in the rule, so
// that a holder costs one pointer and the rule no block of its own; the
// last holder deletes it.
class RuleRef {
public:
    RuleRef() = default;
    RuleRef(std::nullptr_t) {}  // NOLINT: a removal in the journal
    // Takes the first hold of a rule made with new.
    explicit RuleRef(const LiveRule *r) : r_(r) { hold(); }
    RuleRef(const RuleRef &o) : r_(o.r_) { hold(); }
    RuleRef(RuleRef &&o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    RuleRef &operator=(RuleRef o) noexcept {
        std::swap(r_, o.r_);
        return *this;
    }
    ~RuleRef() {
        if (r_ != nullptr && r_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r_;
    }
    const LiveRule *get() const { return r_; }
    const LiveRule *operator->() const { return r_; }
    const LiveRule &operator*() const { return *r_; }
    explicit operator bool() const { return r_ != nullptr; }

private:
    void hold() {
        if (r_ != nullptr) r_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    const LiveRule *r_ = nullptr;
};

class Classifier {
public:
    Classifier() = default;
    Classifier(const Classifier &) = delete;
    Classifier &operator=(const Classifier &) = delete;

    // Puts a rule in force, replacing the one with its ACL and number.
    void add(RuleRef r);
    void remove(int acl, int rule);
    void clear();
    std::size_t size() const { return size_; }
    std::size_t tuples() const { return tuples_.size(); }

    // ACLs holding rules in force, ascending, and each one's hit (nullptr
    // when none): hits->size() is the number of such ACLs afterwards.
    // The rule's action and counter are copied beside it, so that a hit
    // touches the rule itself only when its parameters are needed.
    struct Hit {
        int acl;
        const LiveRule *rule;
        fm_aclActionExt action;
        std::uint64_t *frames;
    };
    void lookup(const Key &key, const FrameFacts &facts, std::vector<Hit> *hits) const;

private:
    struct Tuple;
    // Where a rule in force is: its tuple and the index of its value there.
    struct Ref {
        int rule;
        std::uint32_t at;
        Tuple *tuple;
    };
    struct AclSlot {
        int acl = 0;
        int id = 0;  // small and stable while the ACL holds rules: the index of its best hit
        // Its rules in force by number. They mostly come and go at the end.
        std::vector<Ref> refs;
        std::vector<Ref>::iterator find(int rule);
    };
    struct Residual {
        bool port_set = false, tag = false, src_range = false, dst_range = false;
        int set = 0, tag_type = 0;
        std::uint16_t src_lo = 0, src_hi = 0, dst_lo = 0, dst_hi = 0;
        bool holds(const FrameFacts &facts) const;
    };
    // One ACL's rules of one value, by rule number: a lookup takes the first
    // whose residual condition holds, the first at all when it has none.
    // The item holds the rule.
    struct Item {
        RuleRef rule;
        std::uint64_t *frames;
        fm_aclActionExt action;
        int number;
        std::uint32_t residual;  // 0 for none, else its index in residuals_ plus 1
    };
    struct Lane {
        int slot;
        std::vector<Item> items;
    };
    // A value's lanes by ACL slot.
    using Bucket = std::vector<Lane>;
    // The rules of one masked key: its hash (to find its home slot when
    // slots move) and its rules; none while on the free list. The key's
    // words are the tuple's.
    struct Values {
        std::uint64_t hash = 0;
        Bucket items;
    };
    // One mask's rules: an open-addressing table (linear probing, a power of
    // two slots, at most half full) from masked key to its Values. A slot
    // keeps half the hash beside the value's index, so that a probe compares
    // keys only when the stored half matches, and reads only the slots.
    struct Tuple {
        static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
        struct Slot {
            std::uint32_t tag = 0;      // the hash's high half
            std::uint32_t at = kEmpty;  // index into values
        };
        Key mask{};
        std::uint8_t words[kKeyWords] = {};  // the words the mask touches, ascending
        int nwords = 0;
        std::vector<Slot> slots;
        std::vector<Values> values;
        // Value at's masked key in the words the mask touches only: nwords
        // of them from at * nwords.
        std::vector<std::uint64_t> keys;
        std::vector<std::uint32_t> free_values;
        std::size_t count = 0;       // values held
        std::map<int, int> numbers;  // rule numbers held, each with its count
        int lowest = 0;
        explicit Tuple(const Key &m);

        // The hash of a key masked by this tuple's mask: of the words used only.
        std::uint64_t hash(const Key &k) const;
        // The values of a key (masked or not), or nullptr.
        const Values *find(const Key &k, std::uint64_t h) const;
        // The index of a masked key's values, made empty when absent.
        std::uint32_t get(const Key &masked);
        // Drops the values at index at.
        void erase(std::uint32_t at);
        // True when value at's key is that of masked key k.
        bool key_is(std::uint32_t at, const Key &k) const;

    private:
        std::size_t slot_of(const Key &masked, std::uint64_t h) const;
        void place(std::uint32_t at, std::uint64_t h);
        void grow();
    };

    // The rule's mask and masked value, and the conditions no mask says.
    static void compile(const LiveRule &rule, Key *mask, Key *value, Residual *residual);
    void order_tuples();
    void order_acls();

    // The residual conditions of the rules that have one; few rules do.
    std::uint32_t keep_residual(const Residual &r);
    std::vector<Residual> residuals_;
    std::vector<std::uint32_t> free_residuals_;
    std::size_t size_ = 0;
    std::map<int, AclSlot> acls_;
    std::vector<std::pair<int, int>> order_;  // (ACL, slot id), ascending
    std::vector<int> free_ids_;
    int next_id_ = 0;
    std::map<Key, std::unique_ptr<Tuple>> by_mask_;
    std::vector<Tuple *> tuples_;  // by lowest rule number
    // Each slot's best hit during a lookup; callers hold fmsim's lock.
    mutable std::vector<int> best_rule_;
    mutable std::vector<const Item *> best_;
};

}  // namespace fmsim
