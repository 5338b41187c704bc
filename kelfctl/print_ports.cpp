// Printers of config, mask, port and stats.
#include <cstddef>
#include <cstring>

#include "print.h"

namespace kelfctl {
namespace {

struct Counter {
    const char *name;
    std::size_t off;
};

// The counters in wire order; offsetof ties each name to its place.
#define KEL_COUNTER(n) {#n, offsetof(kelf_stat_cnt_t, n)},
constexpr Counter kCounters[] = {KEL_STAT_COUNTERS(KEL_COUNTER)};
#undef KEL_COUNTER
static_assert(sizeof kCounters / sizeof kCounters[0] * 8 == sizeof(kelf_stat_cnt_t),
              "every counter of the reply is printed");

Cell opt(const std::optional<int> &v) { return v ? num(*v) : none(); }

}  // namespace

Output print_config(int cfg) {
    Json j = Json::object();
    j["config"] = cfg;
    j["name"] = config_name(cfg);
    return {j, "configuration " + std::to_string(cfg) + " (" + config_name(cfg) + ")\n"};
}

Output print_masks(const std::vector<PortMask> &m) {
    Table t("masks", {{"port", "PORT"}, {"egress", "FORWARDS TO"}});
    for (const auto &pm : m) t.row({num(pm.port), ports(pm.egress)});
    return out(t);
}

Output print_ports(const std::vector<PortInfo> &p) {
    Table t("ports", {{"port", "PORT"},
                      {"link", "LINK"},
                      {"speed", "SPEED"},
                      {"mode", "MODE"},
                      {"parser", "PARSER"},
                      {"frame-update", "FRAME-UPDATE"},
                      {"ttl-update", "TTL-UPDATE"}});
    for (const auto &i : p) {
        t.row({num(i.port), i.link ? Cell{*i.link != 0, *i.link != 0 ? "up" : "down"} : none(),
               opt(i.speed), opt(i.mode), opt(i.parser),
               i.frame_update ? hexnum(static_cast<std::uint32_t>(*i.frame_update)) : none(),
               i.ttl_update ? on_off(*i.ttl_update != 0) : none()});
    }
    return out(t);
}

Output print_links(const std::vector<std::pair<int, int>> &links) {
    Table t("links", {{"port", "PORT"}, {"link", "LINK"}});
    for (const auto &[p, l] : links) t.row({num(p), Cell{l != 0, l != 0 ? "up" : "down"}});
    return out(t);
}

Output print_port_state(int port, const kel_lbg_query_list_t &q) {
    int l[6];
    for (int i = 0; i < 6; ++i) l[i] = q.kel_lbg_list.lbg_list[i];
    Cell info{Json::array({l[2], l[3], l[4], l[5]}), std::to_string(l[2]) + " " + std::to_string(l[3]) +
                                                          " " + std::to_string(l[4]) + " " +
                                                          std::to_string(l[5])};
    Record r;
    r.add("port", num(port)).add("mode", num(l[0])).add("state", num(l[1])).add("info", info);
    return out(r);
}

Output print_stats(int port, const kelf_stat_cnt_t &c) {
    Record r;
    r.add("port", num(port));
    const auto *base = reinterpret_cast<const unsigned char *>(&c);
    for (const auto &k : kCounters) {
        std::uint64_t v;
        std::memcpy(&v, base + k.off, sizeof v);
        r.add(k.name, unum(v));
    }
    return out(r);
}

Output print_prio_stats(int port, const kelf_prio_stat_cnt_t &c) {
    Table t("priorities", {{"priority", "PRIORITY"}, {"frames", "RX FRAMES"}});
    for (int i = 0; i < 16; ++i) {
        std::uint64_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char *>(&c) + 8 * i, sizeof v);
        t.row({num(i), unum(v)});
    }
    Output o = out(t);
    o.json["port"] = port;
    o.text = "port " + std::to_string(port) + "\n" + o.text;
    return o;
}

}  // namespace kelfctl
