// Reads of kelfd's read-back extensions.
#include "readback.h"

#include <algorithm>
#include <cstring>

namespace kelfctl {
namespace {

// Every reply of one read-back, page by page: the items' bytes, each
// item_size long (or, for size 0, as long as it says).
struct Pages {
    std::vector<std::vector<unsigned char>> replies;
    std::vector<std::pair<const unsigned char *, std::size_t>> items;
};

// Reads every page of one read-back, handing each item's bytes to f as
// the page comes (pages are not kept: a full unit's rules are 42 MB).
template <class F>
bool each_item(Session &s, std::uint32_t code, int group, std::uint32_t flags,
               std::size_t item_size, std::size_t (*length)(const unsigned char *, std::size_t),
               F f) {
    if (!s.extensions().serves(code)) return false;
    kel_x_read_t q{code, s.unit, group, flags, 0};
    for (int page = 0; page < 100000; ++page) {
        std::vector<unsigned char> b = s.raw(&q, sizeof q);
        kel_x_list_t h;
        if (b.size() < sizeof h)
            refused("kelfd answered read-back " + std::to_string(code) + " with " +
                    std::to_string(b.size()) + " bytes");
        std::memcpy(&h, b.data(), sizeof h);
        if (h.ret != 0)
            refused("kelfd refused to read back unit " + std::to_string(s.unit) + " (command " +
                    std::to_string(code) + ")");
        if (item_size != 0 && h.item_size < item_size)
            refused("kelfd's read-back items are shorter than kelfctl reads");
        std::size_t off = sizeof h;
        for (std::uint32_t i = 0; i < h.count; ++i) {
            const std::size_t n =
                h.item_size != 0 ? h.item_size : length(b.data() + off, b.size() - off);
            if (n == 0 || off + n > b.size()) refused("kelfd's read-back reply was cut short");
            f(std::make_pair(static_cast<const unsigned char *>(b.data() + off), n));
            off += n;
        }
        if (h.next_from < 0) return true;
        q.group = h.next_group;
        q.from = h.next_from;
    }
    refused("kelfd's read-back did not end");
}

std::optional<Pages> read_pages(Session &s, std::uint32_t code, int group, std::uint32_t flags,
                                std::size_t item_size,
                                std::size_t (*length)(const unsigned char *, std::size_t)) {
    Pages pages;
    // Small reads keep their pages; items point into them.
    bool served = each_item(s, code, group, flags, item_size, length,
                            [&](std::pair<const unsigned char *, std::size_t> it) {
                                pages.replies.emplace_back(it.first, it.first + it.second);
                            });
    if (!served) return std::nullopt;
    for (const auto &r : pages.replies) pages.items.emplace_back(r.data(), r.size());
    return pages;
}

template <class T>
T item(const std::pair<const unsigned char *, std::size_t> &it) {
    T t;
    std::memset(&t, 0, sizeof t);
    std::memcpy(&t, it.first, std::min(sizeof t, it.second));
    return t;
}

std::string label(const char (&l)[KEL_X_LABEL_MAX]) {
    return std::string(l, strnlen(l, sizeof l));
}

std::size_t mcast_length(const unsigned char *p, std::size_t left) {
    kel_x_mcast_t m;
    if (left < sizeof m) return 0;
    std::memcpy(&m, p, sizeof m);
    if (m.listener_count > (left - sizeof m) / sizeof(kel_x_listener_t)) return 0;
    return sizeof m + m.listener_count * sizeof(kel_x_listener_t);
}

}  // namespace

bool have_read_back(Session &s) {
    return s.extensions().serves(KEL_X_RULES);
}

std::optional<std::vector<HeldRule>> read_back_rules(Session &s, int first, bool one_group,
                                                     bool counters, bool labelled) {
    std::uint32_t flags = (one_group ? KEL_X_READ_ONE_GROUP : 0u) |
                          (counters ? KEL_X_READ_COUNTERS : 0u) |
                          (labelled ? KEL_X_READ_LABELLED : 0u);
    std::vector<HeldRule> out;
    // Room for all a unit can hold: pages not touched cost no memory.
    if (!labelled)
        out.reserve(one_group ? KEL_MAX_RULES : std::size_t{KEL_MAX_RULES} * KEL_MAX_GROUPS);
    bool served = each_item(s, KEL_X_RULES, first, flags, sizeof(kel_x_rule_t), nullptr,
                            [&](std::pair<const unsigned char *, std::size_t> it) {
                                const auto x = item<kel_x_rule_t>(it);
                                HeldRule h{rule_from_read_back(x), x.slot, std::nullopt};
                                if (x.counter_ret == 0) h.frames = x.frames;
                                out.push_back(std::move(h));
                            });
    if (!served) return std::nullopt;
    return out;
}

std::optional<std::vector<kel_x_port_t>> read_back_ports(Session &s) {
    auto pages = read_pages(s, KEL_X_PORTS, 0, 0, sizeof(kel_x_port_t), nullptr);
    if (!pages) return std::nullopt;
    std::vector<kel_x_port_t> out;
    for (const auto &it : pages->items) out.push_back(item<kel_x_port_t>(it));
    return out;
}

std::optional<std::vector<kel_x_counters_t>> read_back_counters(Session &s) {
    auto pages = read_pages(s, KEL_X_COUNTERS, 0, 0, sizeof(kel_x_counters_t), nullptr);
    if (!pages) return std::nullopt;
    std::vector<kel_x_counters_t> out;
    for (const auto &it : pages->items) out.push_back(item<kel_x_counters_t>(it));
    return out;
}

std::optional<std::vector<HeldLbg>> read_back_lbgs(Session &s) {
    auto pages = read_pages(s, KEL_X_LBGS, 0, 0, sizeof(kel_x_lbg_t), nullptr);
    if (!pages) return std::nullopt;
    std::vector<HeldLbg> out;
    for (const auto &it : pages->items) {
        const auto x = item<kel_x_lbg_t>(it);
        HeldLbg g;
        g.number = x.number;
        g.read = x.ret == 0;
        for (int i = 0; i < std::clamp(x.port_count, 0, 32); ++i) g.ports.push_back(x.ports[i]);
        for (int b = 0; b < std::clamp(x.bins, 0, 256); ++b) g.map.push_back(x.map[b]);
        g.name = label(x.label);
        out.push_back(std::move(g));
    }
    return out;
}

std::optional<std::vector<HeldMirror>> read_back_mirrors(Session &s) {
    auto pages = read_pages(s, KEL_X_MIRRORS, 0, 0, sizeof(kel_x_mirror_t), nullptr);
    if (!pages) return std::nullopt;
    std::vector<HeldMirror> out;
    for (const auto &it : pages->items) {
        const auto x = item<kel_x_mirror_t>(it);
        HeldMirror m;
        m.number = x.number;
        m.port = x.port;
        m.type = x.type;
        m.vlan = x.vlan > 0 ? x.vlan : 0;
        m.rules = x.rules != 0;
        if (x.port_count > KEL_MAX_PORTS + 1)
            refused("mirror " + std::to_string(x.number) + " monitors " +
                    std::to_string(x.port_count) + " ports, more than a switch has");
        for (int i = 0; i < std::max(x.port_count, 0); ++i) m.ports.push_back(x.ports[i]);
        std::sort(m.ports.begin(), m.ports.end());
        m.name = label(x.label);
        out.push_back(std::move(m));
    }
    return out;
}

std::optional<std::vector<HeldMcast>> read_back_mcasts(Session &s) {
    auto pages = read_pages(s, KEL_X_MCASTS, 0, 0, 0, mcast_length);
    if (!pages) return std::nullopt;
    std::vector<HeldMcast> out;
    for (const auto &it : pages->items) {
        const auto x = item<kel_x_mcast_t>(it);
        HeldMcast m;
        m.number = x.number;
        m.port = x.port;
        m.name = label(x.label);
        for (std::uint32_t i = 0; i < x.listener_count; ++i) {
            kel_x_listener_t l;
            std::memcpy(&l, it.first + sizeof x + i * sizeof l, sizeof l);
            m.listeners.insert({l.port, l.vlan});
        }
        out.push_back(std::move(m));
    }
    return out;
}

std::optional<kel_x_unit_t> read_back_unit(Session &s) {
    auto pages = read_pages(s, KEL_X_UNIT, 0, 0, sizeof(kel_x_unit_t), nullptr);
    if (!pages || pages->items.empty()) return std::nullopt;
    return item<kel_x_unit_t>(pages->items.front());
}

bool send_label(Session &s, int kind, int number, std::int64_t id, const std::string &text) {
    if (!s.extensions().serves(KEL_X_LABEL)) return false;
    kel_x_label_t l;
    std::memset(&l, 0, sizeof l);
    l.kel_cmd = KEL_X_LABEL;
    l.unit = s.unit;
    l.kind = kind;
    l.number = number;
    l.rule_id = static_cast<std::int32_t>(id);
    if (text.size() >= sizeof l.label)
        usage("a name or comment holds at most " + std::to_string(sizeof l.label - 1) +
              " bytes: '" + text + "'");
    std::memcpy(l.label, text.data(), text.size());
    s.value(s.status(l), "label " + std::string(kind == KEL_X_LABEL_RULE ? "rule " : "object ") +
                             std::to_string(kind == KEL_X_LABEL_RULE ? id : number) + " '" + text +
                             "'");
    return true;
}

}  // namespace kelfctl
