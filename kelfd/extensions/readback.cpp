// readback.cpp - read-backs of ports, counters, distribution objects and a
// unit's settings, and labels.
#include "readback.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "daemon.h"
#include "device/statistics.h"
#include "distribution/distribution.h"
#include "fm_sdk.h"
#include "labels.h"
#include "ports/ports.h"
#include "rules/rule_readback.h"
#include "rules/rule_table.h"
#include "rules/rule_txn.h"
#include "wire_records.h"

namespace kelf::extensions {
namespace {

using wire::append;
using wire::zeroed;

// A reply under construction: its head, then items while they fit.
class Items {
public:
    Items(std::vector<unsigned char> &out, std::uint32_t item_size) : out_(out), at_(out.size()) {
        head_.ret = -1;
        head_.item_size = item_size;
        head_.next_group = -1;
        head_.next_from = -1;
        append(out_, head_);
    }
    ~Items() { std::memcpy(out_.data() + at_, &head_, sizeof head_); }
    Items(const Items &) = delete;
    Items &operator=(const Items &) = delete;
    void ok() { head_.ret = 0; }
    // False, with the next read set to start at `from`, when n more bytes
    // would not fit.
    bool room(std::size_t n, std::int64_t from) {
        // The first item always goes, so that every read moves on.
        if (head_.count == 0 || out_.size() - at_ - sizeof head_ + n <= KEL_X_READ_MAX) return true;
        head_.next_group = 0;
        head_.next_from = from;
        return false;
    }
    template <class T>
    void add(const T &t) {
        append(out_, t);
        ++head_.count;
    }
    std::vector<unsigned char> &bytes() { return out_; }

private:
    std::vector<unsigned char> &out_;
    std::size_t at_;
    kel_x_list_t head_{};
};

void label_into(char (&dst)[KEL_X_LABEL_MAX], int unit, labels::Kind k, int number) {
    std::snprintf(dst, sizeof dst, "%s", labels::get(unit, k, number).c_str());
}

void ports(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, sizeof(kel_x_port_t));
    if (!unit_inserted(q.unit)) return;
    items.ok();
    const int unit = q.unit;
    for (std::int64_t p64 = std::max<std::int64_t>(q.from, 0); p64 <= KEL_MAX_PORTS; ++p64) {
        const int p = static_cast<int>(p64);
        auto x = zeroed<kel_x_port_t>();
        x.port = p;
        fm_bool pcie = FALSE;
        x.kind = p == 0                                          ? KEL_X_PORT_CPU
                 : fmIsPciePort(unit, p, &pcie) == FM_OK && pcie ? KEL_X_PORT_PCIE
                 : p >= 1 && p <= KEL_MAX_PORTS                  ? KEL_X_PORT_ETHERNET
                                                                 : KEL_X_PORT_OTHER;
        fm_int mode = 0, state = 0, info[4] = {};
        if (fmGetPortState(unit, p, &mode, &state, info) == FM_OK) {
            x.state = state;
            x.link = state == FM_PORT_STATE_UP ? 1 : 0;
        } else {
            x.state = x.link = -1;
        }
        auto get_int = [&](fm_int attr) {
            fm_int v = 0;
            return fmGetPortAttribute(unit, p, attr, &v) == FM_OK ? static_cast<std::int32_t>(v)
                                                                  : -1;
        };
        x.mode = p >= 1 ? get_int(FM_PORT_ETHERNET_INTERFACE_MODE) : -1;
        x.speed = p >= 1 ? get_int(FM_PORT_SPEED) : -1;
        fm_uint32 u = 0;
        x.parser = fmGetPortAttribute(unit, p, FM_PORT_PARSER, &u) == FM_OK
                       ? static_cast<std::int32_t>(u + 2)
                       : -1;
        x.frame_update =
            fmGetPortAttribute(unit, p, FM_PORT_ROUTED_FRAME_UPDATE_FIELDS, &u) == FM_OK
                ? static_cast<std::int32_t>(u)
                : -1;
        fm_bool ttl = FALSE;
        x.ttl_update = fmGetPortAttribute(unit, p, FM_PORT_UPDATE_TTL, &ttl) == FM_OK ? ttl : -1;
        x.mask_ret = -1;
        if (p >= 1 && p < KEL_MAX_PORTS) {
            auto m = zeroed<kel_mask_t>();
            m.ingress[p / 8] = static_cast<std::uint8_t>(1u << (p % 8));
            x.mask_ret = kel_get_port_mask_fn(unit, &m);
            std::memcpy(x.egress, m.egress, sizeof x.egress);
        }
        items.add(x);
    }
}

void counters(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, sizeof(kel_x_counters_t));
    if (!unit_inserted(q.unit)) return;
    items.ok();
    for (std::int64_t p = std::max<std::int64_t>(q.from, 0); p <= KEL_MAX_PORTS; ++p) {
        auto st = zeroed<kel_stat_t>();
        auto x = zeroed<kel_x_counters_t>();
        x.port = static_cast<std::int32_t>(p);
        x.ret = kel_get_stat_fn(q.unit, x.port, &st) == 0 && st.ret_val == 0 ? 0 : -1;
        if (x.ret == 0) x.counters = st.kel_stat_cnt.kelf;
        items.add(x);
    }
}

// The shortest list of at most 32 ports that, filled round-robin, gives
// the bins; 0 when none does.
int list_of(const fm_int *map, int bins, std::int32_t *ports) {
    for (int n = 1; n <= 32 && n <= bins; ++n) {
        bool fits = true;
        for (int b = n; b < bins && fits; ++b) fits = map[b] == map[b % n];
        if (!fits) continue;
        for (int i = 0; i < n; ++i) ports[i] = map[i];
        return n;
    }
    return 0;
}

void lbgs(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, sizeof(kel_x_lbg_t));
    if (!unit_inserted(q.unit)) return;
    fm_int n = 0;
    fm_int list[FM_MAX_LBGS] = {};
    if (fmGetLBGList(q.unit, &n, list, FM_MAX_LBGS) != FM_OK) return;
    items.ok();
    n = std::clamp<fm_int>(n, 0, FM_MAX_LBGS);
    std::sort(list, list + n);
    for (fm_int i = 0; i < n; ++i) {
        if (list[i] < q.from) continue;
        if (!items.room(sizeof(kel_x_lbg_t), list[i])) break;
        auto x = zeroed<kel_x_lbg_t>();
        x.number = list[i];
        fm_int map[256] = {};
        fm_LBGDistributionMapRange range{0, 256, map};
        x.ret = fmGetLBGAttribute(q.unit, list[i], FM_LBG_DISTRIBUTION_MAP_RANGE, &range) == FM_OK
                    ? 0
                    : -1;
        if (x.ret == 0) {
            x.bins = 256;
            for (int b = 0; b < 256; ++b) x.map[b] = map[b];
            x.port_count = list_of(map, 256, x.ports);
        }
        label_into(x.label, q.unit, labels::Kind::Lbg, list[i]);
        items.add(x);
    }
}

void mirrors(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, sizeof(kel_x_mirror_t));
    if (!unit_inserted(q.unit)) return;
    items.ok();
    std::vector<fm_int> numbers;
    fm_int m = 0, port = 0;
    fm_mirrorType type{};
    for (fm_status st = fmGetMirrorFirst(q.unit, &m, &port, &type);
         st == FM_OK && numbers.size() < 4096; st = fmGetMirrorNext(q.unit, m, &m, &port, &type))
        numbers.push_back(m);
    std::sort(numbers.begin(), numbers.end());
    for (fm_int number : numbers) {
        if (number < q.from) continue;
        if (!items.room(sizeof(kel_x_mirror_t), number)) break;
        auto x = zeroed<kel_x_mirror_t>();
        x.number = number;
        if (fmGetMirror(q.unit, number, &port, &type) == FM_OK) {
            x.port = port;
            x.type = static_cast<std::int32_t>(type);
        }
        fm_int vlan = -1;
        if (fmGetMirrorAttribute(q.unit, number, FM_MIRROR_VLAN, &vlan) != FM_OK) vlan = -1;
        x.vlan = vlan;
        fm_bool acl = FALSE;
        x.rules = fmGetMirrorAttribute(q.unit, number, FM_MIRROR_ACL, &acl) == FM_OK && acl ? 1 : 0;
        fm_int p = 0;
        for (fm_status st = fmGetMirrorPortFirst(q.unit, number, &p);
             st == FM_OK && x.port_count < 4096; st = fmGetMirrorPortNext(q.unit, number, p, &p)) {
            if (x.port_count <= KEL_MAX_PORTS) x.ports[x.port_count] = p;
            ++x.port_count;
        }
        label_into(x.label, q.unit, labels::Kind::Mirror, number);
        items.add(x);
    }
}

void mcasts(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, 0);
    const auto *groups = distribution::mcast_groups(q.unit);
    if (!unit_inserted(q.unit) || groups == nullptr) return;
    items.ok();
    for (auto it = groups->lower_bound(static_cast<int>(std::clamp<std::int64_t>(
             q.from, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())));
         it != groups->end(); ++it) {
        const auto &listeners = it->second;
        if (!items.room(sizeof(kel_x_mcast_t) + listeners.size() * sizeof(kel_x_listener_t),
                        it->first))
            break;
        auto x = zeroed<kel_x_mcast_t>();
        x.number = it->first;
        fm_int port = -1;
        if (fmGetMcastGroupPort(q.unit, it->first, &port) != FM_OK) port = -1;
        x.port = port;
        x.listener_count = static_cast<std::uint32_t>(listeners.size());
        label_into(x.label, q.unit, labels::Kind::Mcast, it->first);
        items.add(x);
        for (const auto &l : listeners) append(items.bytes(), l);
    }
}

void unit_settings(const kel_x_read_t &q, std::vector<unsigned char> &out) {
    Items items(out, sizeof(kel_x_unit_t));
    if (!unit_inserted(q.unit)) return;
    items.ok();
    auto x = zeroed<kel_x_unit_t>();
    x.cfg = kel_get_cfg_fn(q.unit);
    x.sw_remain = kel_get_sw_remain_fn();
    kel_l2_hash_t l2 = zeroed<kel_l2_hash_t>();
    kel_l3_hash_t l3 = zeroed<kel_l3_hash_t>();
    x.l2_ret = kel_get_l2_hash_fn(q.unit, &l2) == 0 ? 0 : -1;
    x.l3_ret = kel_get_l3_hash_fn(q.unit, &l3) == 0 ? 0 : -1;
    x.l2 = l2;
    x.l3 = l3;
    const rules::txn::Staged *st = rules::txn::staging(q.unit);
    for (int g = 0; g < KEL_MAX_GROUPS; ++g)
        x.rules[g] = st != nullptr ? st->count(g) : kel_acl[q.unit][g].count();
    items.add(x);
}

// Whether s is well-formed UTF-8 (listings and metrics carry labels).
bool utf8(const std::string &s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80           ? 1
                              : (c >> 5) == 0x6  ? 2
                              : (c >> 4) == 0xE  ? 3
                              : (c >> 3) == 0x1E ? 4
                                                 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
        if (n == 2 && c < 0xC2) return false;  // overlong
        i += n;
    }
    return true;
}

int refuse(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
    return -1;
}

std::string n(int v) {
    return std::to_string(v);
}

}  // namespace

bool is_read_back(std::uint32_t code) {
    return code >= KEL_X_RULES && code <= KEL_X_UNIT;
}

void read_back(std::uint32_t code, const kel_x_read_t &q, std::vector<unsigned char> &out) {
    out.clear();
    switch (code) {
        case KEL_X_RULES:
            return rules::read_rules(q, out);
        case KEL_X_PORTS:
            return ports(q, out);
        case KEL_X_COUNTERS:
            return counters(q, out);
        case KEL_X_LBGS:
            return lbgs(q, out);
        case KEL_X_MIRRORS:
            return mirrors(q, out);
        case KEL_X_MCASTS:
            return mcasts(q, out);
        default:
            return unit_settings(q, out);
    }
}

int set_label(const kel_x_label_t &l) {
    const int unit = l.unit;
    if (!unit_inserted(unit)) return refuse("kel: unit " + n(unit) + " is not up");
    std::string text(l.label, strnlen(l.label, sizeof l.label));
    if (text.size() == sizeof l.label)
        return refuse("kel: a label holds at most " + n(KEL_X_LABEL_MAX - 1) + " bytes");
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return refuse("kel: a label holds no control characters");
    if (!utf8(text)) return refuse("kel: a label is UTF-8 text");
    switch (l.kind) {
        case KEL_X_LABEL_RULE: {
            if (!rules::unit_group_ok(unit, l.number))
                return refuse("kel: no rule group " + n(l.number));
            // Within a transaction the label waits for the commit.
            if (rules::txn::Staged *st = rules::txn::staging(unit)) {
                if (st->find(l.number, l.rule_id) == nullptr)
                    return refuse("kel: group " + n(l.number) + " holds no rule " + n(l.rule_id) +
                                  " to label");
                if (!st->label(l.number, l.rule_id, text))
                    return refuse("kel: the transaction holds a label for every rule a unit can");
                return 0;
            }
            if (kel_acl[unit][l.number].find(l.rule_id) < 0)
                return refuse("kel: group " + n(l.number) + " holds no rule " + n(l.rule_id) +
                              " in force to label");
            labels::set(unit, labels::Kind::Rule, l.number, l.rule_id, text);
            return 0;
        }
        case KEL_X_LABEL_LBG: {
            fm_int mode = 0;
            if (fmGetLBGAttribute(unit, l.number, FM_LBG_GROUP_MODE, &mode) != FM_OK)
                return refuse("kel: no load-balancing group " + n(l.number) + " to label");
            labels::set(unit, labels::Kind::Lbg, l.number, 0, text);
            return 0;
        }
        case KEL_X_LABEL_MIRROR: {
            fm_int port = 0;
            fm_mirrorType type{};
            if (fmGetMirror(unit, l.number, &port, &type) != FM_OK)
                return refuse("kel: no mirror " + n(l.number) + " to label");
            labels::set(unit, labels::Kind::Mirror, l.number, 0, text);
            return 0;
        }
        case KEL_X_LABEL_MCAST: {
            const auto *g = distribution::mcast_groups(unit);
            if (g == nullptr || !g->count(l.number))
                return refuse("kel: no multicast group " + n(l.number) + " to label");
            labels::set(unit, labels::Kind::Mcast, l.number, 0, text);
            return 0;
        }
        default:
            return refuse("kel: no kind " + n(l.kind) + " of object to label");
    }
}

}  // namespace kelf::extensions
