// The hash object: its fields, named once for the command, the file and the
// wire, and its commands.
#include <cstddef>
#include <cstring>
#include <iterator>

#include "batch.h"
#include "distribution.h"
#include "file_parts.h"
#include "objects.h"

namespace kelfctl {
namespace {

const char kHashHelp[] = R"(Usage: kelfctl hash show [ l2 | l3 ]
       kelfctl hash set l2 [profile N] L2FIELD VALUE [L2FIELD VALUE ...]
       kelfctl hash set l3 [profile N] L3FIELD VALUE [L3FIELD VALUE ...]
       kelfctl hash help

L2FIELD := { src-mac MAC | dst-mac MAC | ethertype MASK | vlan-id MASK |
             vlan2-id MASK | vlan-priority MASK | vlan2-priority MASK |
             symmetric-mac { on | off } }
L3FIELD := { src-ip MASK | dst-ip MASK | src-port MASK | dst-port MASK |
             dscp MASK | isl-user MASK | protocol MASK | flow MASK | custom MASK |
             symmetric-l3 { on | off } | symmetric-l4 { on | off } |
             random-next-hop { on | off } | random-other { on | off } |
             random-only { on | off } }

The switch hashes the masked fields of a frame to spread it over a
load-balancing group. set changes only the fields given; the others keep
their values. Masks are numbers (0x... or decimal), the MAC masks are
written like MAC addresses; vlan masks take 12 bits, priority masks 4.
With profile N, the fields as read from profile 0 are written, with the
changes, to hash profile N. show reads profile 0; `hash` alone shows both.
)";

enum class Kind { Mac, Mask, Flag };
// One field: where it lies in its record, the selector bit that writes it
// and the largest value it takes. Listed in the order kelfctl writes them.
struct Field {
    const char *kw;
    Kind kind;
    std::size_t off, size;  // packed: read and written with memcpy
    std::uint32_t bit;
    std::uint64_t max = 1;
};
constexpr std::uint64_t kMacMax = (std::uint64_t{1} << 48) - 1;

#define L2(f) offsetof(kel_l2_hash_t, f), sizeof(kel_l2_hash_t::f)
#define L3(f) offsetof(kel_l3_hash_t, f), sizeof(kel_l3_hash_t::f)
const Field kL2[] = {
    {"src-mac", Kind::Mac, L2(src_mac_mask), KEL_L2_HASH_SRC_MAC, kMacMax},
    {"dst-mac", Kind::Mac, L2(dst_mac_mask), KEL_L2_HASH_DST_MAC, kMacMax},
    {"ethertype", Kind::Mask, L2(ether_type_mask), KEL_L2_HASH_ETHER_TYPE, 0xFFFF},
    // One selector bit writes both fields of a VLAN pair.
    {"vlan-id", Kind::Mask, L2(vlan_id_mask), KEL_L2_HASH_VLAN_ID, 0xFFF},
    {"vlan2-id", Kind::Mask, L2(vlan2_id_mask), KEL_L2_HASH_VLAN_ID, 0xFFF},
    {"vlan-priority", Kind::Mask, L2(vlan_pri), KEL_L2_HASH_VLAN_PRI, 0xF},
    {"vlan2-priority", Kind::Mask, L2(vlan2_pri), KEL_L2_HASH_VLAN_PRI, 0xF},
    {"symmetric-mac", Kind::Flag, L2(sym_mac), KEL_L2_HASH_SYM_MAC},
};
const Field kL3[] = {
    {"src-ip", Kind::Mask, L3(src_ip_mask), KEL_L3_HASH_SRC_IP, 0xFFFFFFFF},
    {"dst-ip", Kind::Mask, L3(dst_ip_mask), KEL_L3_HASH_DST_IP, 0xFFFFFFFF},
    {"src-port", Kind::Mask, L3(src_port_mask), KEL_L3_HASH_SRC_PORT, 0xFFFFFFFF},
    {"dst-port", Kind::Mask, L3(dst_port_mask), KEL_L3_HASH_DST_PORT, 0xFFFFFFFF},
    {"dscp", Kind::Mask, L3(dscp_mask), KEL_L3_HASH_DSCP, 0x3F},
    {"isl-user", Kind::Mask, L3(isl_usr_mask), KEL_L3_HASH_ISL_USER, 0xFFFFFFFF},
    {"protocol", Kind::Mask, L3(proto_mask), KEL_L3_HASH_PROTO, 0xFFFFFFFF},
    {"flow", Kind::Mask, L3(flow_mask), KEL_L3_HASH_FLOW, 0xFFFFFFFF},
    {"custom", Kind::Mask, L3(custom_mask), KEL_L3_HASH_CUSTOM, 0xFFFFFFFF},
    {"symmetric-l3", Kind::Flag, L3(sym_l3_fields), KEL_L3_HASH_SYM_L3},
    {"symmetric-l4", Kind::Flag, L3(sym_l4_fields), KEL_L3_HASH_SYM_L4},
    {"random-next-hop", Kind::Flag, L3(random_next_hop), KEL_L3_HASH_RANDOM_NEXT_HOP},
    {"random-other", Kind::Flag, L3(random_other), KEL_L3_HASH_RANDOM_OTHER},
    {"random-only", Kind::Flag, L3(random_only), KEL_L3_HASH_RANDOM_ONLY},
};
#undef L2
#undef L3

struct Table {
    const Field *begin_, *end_;
    const Field *begin() const { return begin_; }
    const Field *end() const { return end_; }
};
Table fields_of(HashLevel l) {
    if (l == HashLevel::L2) return {std::begin(kL2), std::end(kL2)};
    return {std::begin(kL3), std::end(kL3)};
}

std::uint64_t read_field(const unsigned char *rec, const Field &f) {
    if (f.kind == Kind::Mac) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < 6; ++i) v = v << 8 | rec[f.off + i];
        return v;
    }
    std::uint32_t v = 0;
    std::memcpy(&v, rec + f.off, f.size);
    if (f.kind == Kind::Flag) return v != 0 ? 1 : 0;
    return v & f.max;
}

void write_field(unsigned char *rec, const Field &f, std::uint64_t v) {
    if (f.kind == Kind::Mac) {
        for (int i = 5; i >= 0; --i, v >>= 8)
            rec[f.off + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v);
        return;
    }
    auto w = static_cast<std::uint32_t>(f.kind == Kind::Flag ? (v != 0 ? 1 : 0) : v);
    std::memcpy(rec + f.off, &w, f.size);  // little-endian: a one-byte flag takes the low byte
}

template <class R>
HashFields fields_from(const R &h, HashLevel l) {
    HashFields out;
    const auto *rec = reinterpret_cast<const unsigned char *>(&h);
    for (const Field &f : fields_of(l)) out[f.kw] = read_field(rec, f);
    return out;
}

const char *level_word(HashLevel l) {
    return l == HashLevel::L2 ? "l2" : "l3";
}

}  // namespace

kel_l2_hash_t get_l2(Session &s) {
    if_kel_t k = s.kel(KEL_GET_L2_HASH);
    kel_l2_hash_t h;
    s.record(&k, sizeof k, &h, sizeof h);
    return h;
}

kel_l3_hash_t get_l3(Session &s) {
    if_kel_t k = s.kel(KEL_GET_L3_HASH);
    kel_l3_hash_t h;
    s.record(&k, sizeof k, &h, sizeof h);
    return h;
}

HashFields hash_fields(const kel_l2_hash_t &h) {
    return fields_from(h, HashLevel::L2);
}
HashFields hash_fields(const kel_l3_hash_t &h) {
    return fields_from(h, HashLevel::L3);
}

void send_hash(Session &s, HashLevel level, const HashFields &f, std::optional<int> profile,
               const HashFields *known) {
    bool l2 = level == HashLevel::L2;
    if_kel_t k = s.kel(l2 ? KEL_SET_L2_HASH : KEL_SET_L3_HASH);
    auto *rec = l2 ? reinterpret_cast<unsigned char *>(&k.l2_hash)
                   : reinterpret_cast<unsigned char *>(&k.l3_hash);
    std::uint32_t sel = 0;
    for (const Field &x : fields_of(level))
        if (f.count(x.kw)) sel |= x.bit;
    std::optional<HashFields> cur;  // read only when a field pair is half given
    if (known != nullptr) cur = *known;
    for (const Field &x : fields_of(level)) {
        if (!(sel & x.bit)) continue;
        auto it = f.find(x.kw);
        if (it == f.end() && !cur) cur = l2 ? hash_fields(get_l2(s)) : hash_fields(get_l3(s));
        write_field(rec, x, it != f.end() ? it->second : cur->at(x.kw));
    }
    std::uint32_t prof = 0;
    if (profile) prof = static_cast<std::uint32_t>(*profile), sel |= KEL_HASH_PROFILE;
    std::memcpy(rec + 4, &prof, 4);  // profile_index follows the selector
    std::memcpy(rec, &sel, 4);
    s.sdk_ok(s.status(k), std::string("set the ") + (l2 ? "L2" : "L3") + " hash");
}

void parse_hash(Args &a, HashLevel level, bool in_file, std::optional<int> *profile,
                HashFields &out) {
    const std::string lw = level_word(level);
    const std::string LW = level == HashLevel::L2 ? "L2" : "L3";
    if (in_file && a.done()) usage("hash set needs a field to set");
    bool any = false;
    while (!a.done()) {
        std::string kw = a.next(in_file ? "hash field" : LW + "FIELD");
        if (kw == "profile") {
            if (in_file)
                usage(
                    "hash set: profile cannot be kept in a file: kelfd reads back hash profile 0 "
                    "only");
            *profile = static_cast<int>(a.number("profile", 0, 255));
            continue;
        }
        const Field *f = nullptr;
        for (const Field &x : fields_of(level))
            if (kw == x.kw) f = &x;
        if (f == nullptr)
            usage("unknown " + (in_file ? std::string() : LW + " ") + "hash field '" + kw + "'");
        std::uint64_t v;
        if (f->kind == Kind::Flag) {
            v = a.on_off(kw) ? 1 : 0;
        } else if (f->kind == Kind::Mac) {
            std::string w = a.next(kw + " MAC");
            Mac m = value([&] { return parse_mac(w, kw); });
            v = 0;
            for (auto b : m) v = v << 8 | b;
        } else {
            v = static_cast<std::uint64_t>(
                a.number(kw + " MASK", 0, static_cast<std::int64_t>(f->max)));
        }
        if (in_file && out.count(kw)) usage("hash field " + kw + " given twice");
        out[kw] = v;
        any = true;
    }
    if (!any && !(profile && *profile)) usage("hash set " + lw + " needs a field to set");
}

std::string hash_line(HashLevel level, const HashFields &f) {
    std::string t = std::string("hash set ") + level_word(level);
    for (const Field &x : fields_of(level)) {
        auto it = f.find(x.kw);
        if (it == f.end()) continue;
        std::uint64_t v = it->second;
        std::string text;
        if (x.kind == Kind::Mac) {
            Mac m;
            for (int i = 5; i >= 0; --i, v >>= 8)
                m[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
            text = format_mac(m);
        } else if (x.kind == Kind::Flag) {
            text = v != 0 ? "on" : "off";
        } else {
            text = hex(v);
        }
        t += " " + it->first + " " + text;
    }
    return t;
}

namespace {

Output merge(Output a, const Output &b) {
    for (const auto &[k, v] : b.json.items()) a.json[k] = v;
    a.text += b.text;
    return a;
}

void hash_show(Session &s, Args &a) {
    bool l2 = true, l3 = true;
    if (a.accept("l2"))
        l3 = false;
    else if (a.accept("l3"))
        l2 = false;
    a.finish();
    Output o{Json::object(), ""};
    if (l2) o = merge(o, print_l2_hash(get_l2(s)));
    if (l3) o = merge(o, print_l3_hash(get_l3(s)));
    s.print(o);
}

void hash_set(Session &s, Args &a) {
    HashLevel level;
    if (a.accept("l2"))
        level = HashLevel::L2;
    else if (a.accept("l3"))
        level = HashLevel::L3;
    else
        usage("hash set needs l2 or l3");
    std::optional<int> profile;
    HashFields f;
    parse_hash(a, level, false, &profile, f);
    send_hash(s, level, f, profile);
    s.print_ok();
}

}  // namespace

Object hash_object() {
    return {"hash",    nullptr,   "L2 and L3 hash fields",
            kHashHelp, hash_show, {{"show", nullptr, hash_show}, {"set", nullptr, hash_set}}};
}

// ---------------------------------------------------------------- the file

void parse_hash_line(FileUnit &f, Args &a, int) {
    if (a.accept("l2"))
        parse_hash(a, HashLevel::L2, true, nullptr, f.u.l2);
    else if (a.accept("l3"))
        parse_hash(a, HashLevel::L3, true, nullptr, f.u.l3);
    else
        usage("hash set needs l2 or l3");
}

namespace {

// The hash settings a switch starts with; a saved file names only the
// fields that differ from them.
HashFields start_fields(HashLevel level) {
    static const char *const kL2 =
        "src-mac ff:ff:ff:ff:ff:ff dst-mac ff:ff:ff:ff:ff:ff ethertype 0xffff vlan-id 0xfff "
        "vlan2-id 0x0 vlan-priority 0xf vlan2-priority 0x0 symmetric-mac off";
    static const char *const kL3 =
        "src-ip 0xffffffff dst-ip 0xffffffff src-port 0xffff dst-port 0xffff dscp 0x0 "
        "isl-user 0x0 protocol 0xff flow 0xfffff custom 0x0 symmetric-l3 off symmetric-l4 off "
        "random-next-hop off random-other off random-only off";
    Args a(split_line(level == HashLevel::L2 ? kL2 : kL3));
    std::optional<int> profile;
    HashFields f;
    parse_hash(a, level, true, &profile, f);
    return f;
}

}  // namespace

void plan_hash(UnitPlan &up) {
    // The fields the file names whose value differs from the switch's.
    auto differing = [](const HashFields &wanted, const HashFields &cur) {
        HashFields diff;
        for (const auto &[k, v] : wanted)
            if (!cur.count(k) || cur.at(k) != v) diff[k] = v;
        return diff;
    };
    // The file is the whole state: a field it does not name is as the
    // switch starts.
    auto whole = [](HashLevel level, const HashFields &named) {
        HashFields w = start_fields(level);
        for (const auto &[k, v] : named) w[k] = v;
        return w;
    };
    {
        HashFields cur = hash_fields(get_l2(up.s)),
                   diff = differing(whole(HashLevel::L2, up.want.l2), cur);
        if (diff.empty())
            up.plan.unchanged += up.want.l2.empty() ? 0 : 1;
        else
            up.step(up.tail, Step::Op::Change, "hash", hash_line(HashLevel::L2, diff),
                    [diff, cur](Session &ss) {
                        send_hash(ss, HashLevel::L2, diff, std::nullopt, &cur);
                        return 1;
                    });
    }
    {
        HashFields diff = differing(whole(HashLevel::L3, up.want.l3), hash_fields(get_l3(up.s)));
        if (diff.empty())
            up.plan.unchanged += up.want.l3.empty() ? 0 : 1;
        else
            up.step(up.tail, Step::Op::Change, "hash", hash_line(HashLevel::L3, diff),
                    [diff](Session &ss) {
                        send_hash(ss, HashLevel::L3, diff);
                        return 1;
                    });
    }
}

namespace {

void save_level(UnitSave &u, HashLevel level, const HashFields &held) {
    const HashFields start = start_fields(level);
    HashFields diff;
    for (const auto &[kw, v] : held)
        if (!start.count(kw) || start.at(kw) != v) diff[kw] = v;
    if (!diff.empty()) u.text += hash_line(level, diff) + "\n";
}

}  // namespace

void save_hash(UnitSave &u) {
    save_level(u, HashLevel::L2, hash_fields(get_l2(u.s)));
    save_level(u, HashLevel::L3, hash_fields(get_l3(u.s)));
}

}  // namespace kelfctl
