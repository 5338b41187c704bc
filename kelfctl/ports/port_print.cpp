// Printers of config, mask, port and stats.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "ports.h"

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

Cell opt(const std::optional<int> &v) {
    return v ? num(*v) : none();
}

// The switch's interface-mode and port-state numbers, which kelfd passes
// through as the switch reports them.
enum EthMode {
    kModeDisabled = 0,
    kModeSgmii = 1,
    kMode1000BaseX = 2,
    kMode10GBaseSr = 6,
    kMode25GBaseSr = 11,
    kMode40GBaseSr4 = 15,
    kMode100GBaseSr4 = 20
};
enum PortStateNo {
    kStateUp = 0,
    kStateAdminDown = 1,
    kStateAdminPowerDown = 2,
    kStateBist = 3,
    kStateDown = 4
};

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

std::string port_kind_of(const PortInfo &i) {
    if (i.kind) return *i.kind;
    // Without kelfd's read-back of ports, the kind follows the port
    // numbering kelfd brings a switch up with, except that a card port
    // reporting an Ethernet interface mode is an Ethernet port whatever
    // its number.
    std::string k = port_kind(i.port);
    if (k == "pcie" && i.mode && *i.mode != kModeDisabled) return "ethernet";
    return k;
}

std::string eth_mode_name(int mode) {
    switch (mode) {
        case kModeDisabled:
            return "disabled";
        case kModeSgmii:
            return "sgmii";
        case kMode1000BaseX:
            return "1000base-x";
        case kMode10GBaseSr:
            return "10gbase-sr";
        case kMode25GBaseSr:
            return "25gbase-sr";
        case kMode40GBaseSr4:
            return "40gbase-sr4";
        case kMode100GBaseSr4:
            return "100gbase-sr4";
        default:
            return "mode " + std::to_string(mode);
    }
}

std::string speed_text(int mbps) {
    if (mbps <= 0) return "-";
    if (mbps % 1000 == 0) return std::to_string(mbps / 1000) + "G";
    if (mbps > 1000)
        return std::to_string(mbps / 1000) + "." + std::to_string(mbps % 1000 / 100) + "G";
    return std::to_string(mbps) + "M";
}

namespace {

std::string port_state_name(int st) {
    switch (st) {
        case kStateUp:
            return "up";
        case kStateAdminDown:
            return "admin-down";
        case kStateAdminPowerDown:
            return "admin-powerdown";
        case kStateBist:
            return "bist";
        case kStateDown:
            return "down";
        default:
            return "state " + std::to_string(st);
    }
}

// What a port's mask lets it forward to, shortly: "all others" for the
// start-up mesh, "none", or the list.
Cell mask_summary(const PortInfo &i) {
    if (!i.mask) return none();
    const std::vector<int> &m = *i.mask;
    std::string text;
    if (m.empty())
        text = "none";
    else if (m.size() == 46 && i.port >= 1 && i.port <= 47 &&
             std::find(m.begin(), m.end(), i.port) == m.end())
        text = "all others";
    else if (m.size() == 47)
        text = "all";
    else
        text = format_port_list(m);
    return {Json(m), text};
}

}  // namespace

Output print_ports(const std::vector<PortInfo> &p, bool details) {
    std::vector<Table::Column> cols = {
        {"port", "PORT"},   {"kind", "KIND"},         {"link", "LINK"},       {"mode", "MODE"},
        {"speed", "SPEED"}, {"loopback", "LOOPBACK"}, {"mask", "FORWARDS TO"}};
    if (details)
        for (Table::Column c : std::vector<Table::Column>{{"state", "STATE"},
                                                          {"parser", "PARSER"},
                                                          {"frame_update", "FRAME-UPDATE"},
                                                          {"ttl_update", "TTL-UPDATE"}})
            cols.push_back(c);
    Table t("ports", cols);
    for (const auto &i : p) {
        Cell mode = i.mode ? Cell{eth_mode_name(*i.mode), eth_mode_name(*i.mode)} : none();
        Cell speed = i.speed ? Cell{*i.speed, speed_text(*i.speed)} : none();
        Cell loop =
            i.loopback ? (*i.loopback == 0 ? Cell{"off", "off"} : num(*i.loopback)) : none();
        std::vector<Cell> row = {num(i.port),
                                 str(port_kind_of(i)),
                                 i.link ? Cell{*i.link != 0, *i.link != 0 ? "up" : "down"} : none(),
                                 mode,
                                 speed,
                                 loop,
                                 mask_summary(i)};
        if (details) {
            row.push_back(i.state ? str(port_state_name(*i.state)) : none());
            row.push_back(opt(i.parser));
            row.push_back(i.frame_update ? hexnum(static_cast<std::uint32_t>(*i.frame_update))
                                         : none());
            row.push_back(i.ttl_update ? on_off(*i.ttl_update != 0) : none());
        }
        t.row(std::move(row));
    }
    return out(t);  // speeds in Mb/s in JSON, with their unit in text
}

Output print_links(const std::vector<std::pair<int, int>> &links) {
    Table t("links", {{"port", "PORT"}, {"link", "LINK"}});
    for (const auto &[p, l] : links) t.row({num(p), Cell{l != 0, l != 0 ? "up" : "down"}});
    return out(t);
}

Output print_port_state(int port, const kel_lbg_query_list_t &q) {
    int l[6];
    for (int i = 0; i < 6; ++i) l[i] = q.kel_lbg_list.lbg_list[i];
    Cell info{Json::array({l[2], l[3], l[4], l[5]}),
              std::to_string(l[2]) + " " + std::to_string(l[3]) + " " + std::to_string(l[4]) + " " +
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

namespace {

// The sums behind the counter table: what a frame that came in or went out,
// was dropped, or was damaged counts in.
struct Summary {
    std::uint64_t rx_frames, rx_bytes, rx_drops, rx_errors, tx_frames, tx_bytes, tx_drops,
        tx_errors;
};

Summary summarise(const kelf_stat_cnt_t &c) {
    Summary s{};
    s.rx_frames = c.cntRxUcstPkts + c.cntRxBcstPkts + c.cntRxMcstPkts;
    s.rx_bytes = c.cntRxGoodOctets;
    s.rx_drops = c.cntParseErrDropPkts + c.cntPauseDropPkts + c.cntSTPDropPkts +
                 c.cntSecurityViolationPkts + c.cntVLANTagDropPkts + c.cntVLANIngressBVPkts +
                 c.cntGlortMissDropPkts + c.cntFFUDropPkts + c.cntPolicerDropPkts +
                 c.cntTTLDropPkts + c.cntCmPrivDropPkts + c.cntSmp0DropPkts + c.cntSmp1DropPkts +
                 c.cntRxHog0DropPkts + c.cntRxHog1DropPkts + c.cntRateLimit0DropPkts +
                 c.cntRateLimit1DropPkts + c.cntBadSmpDropPkts + c.cntTriggerDropRedirPkts +
                 c.cntTriggerDropPkts + c.cntBroadcastDropPkts + c.cntDLFDropPkts +
                 c.cntRxCMDropPkts + c.cntStatsDropCountRx;
    s.rx_errors = c.cntRxFCSErrors + c.cntRxSymbolErrors + c.cntRxFrameSizeErrors +
                  c.cntRxFragmentPkts + c.cntRxUndersizedPkts + c.cntRxJabberPkts +
                  c.cntRxOversizedPkts;
    s.tx_frames = c.cntTxUcstPkts + c.cntTxBcstPkts + c.cntTxMcstPkts;
    s.tx_bytes = c.cntTxOctets;
    s.tx_drops = c.cntTxErrorDropPkts + c.cntTxTimeOutPkts + c.cntTxCMDropPkts +
                 c.cntTxHog0DropPkts + c.cntTxHog1DropPkts + c.cntVLANEgressBVPkts +
                 c.cntStatsDropCountTx;
    s.tx_errors = c.cntTxFCSErroredPkts + c.cntUnderrunPkts;
    return s;
}

}  // namespace

Output print_counter_table(const PortCounters &c) {
    Table t("counters", {{"port", "PORT"},
                         {"rx_frames", "RX FRAMES"},
                         {"rx_bytes", "RX BYTES"},
                         {"rx_drops", "RX DROPS"},
                         {"rx_errors", "RX ERRORS"},
                         {"tx_frames", "TX FRAMES"},
                         {"tx_bytes", "TX BYTES"},
                         {"tx_drops", "TX DROPS"},
                         {"tx_errors", "TX ERRORS"}});
    for (const auto &[p, k] : c) {
        Summary s = summarise(k);
        t.row({num(p), unum(s.rx_frames), unum(s.rx_bytes), unum(s.rx_drops), unum(s.rx_errors),
               unum(s.tx_frames), unum(s.tx_bytes), unum(s.tx_drops), unum(s.tx_errors)});
    }
    return out(t);
}

Output print_all_counters(const PortCounters &c) {
    if (c.size() == 1) return print_stats(c[0].first, c[0].second);
    Json arr = Json::array();
    std::string text;
    for (const auto &[p, k] : c) {
        Output o = print_stats(p, k);
        arr.push_back(o.json);
        text += (text.empty() ? "" : "\n") + o.text;
    }
    Json j = Json::object();
    j["ports"] = arr;
    return {j, text};
}

Output print_counter_rates(const PortCounters &before, const PortCounters &after, double seconds) {
    Table t("rates", {{"port", "PORT"},
                      {"rx_frames_per_s", "RX FRAMES/S"},
                      {"rx_bytes_per_s", "RX BYTES/S"},
                      {"tx_frames_per_s", "TX FRAMES/S"},
                      {"tx_bytes_per_s", "TX BYTES/S"},
                      {"drops", "DROPS"},
                      {"errors", "ERRORS"}});
    auto rate = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t d = b >= a ? b - a : 0;  // a reset in between counts from zero
        return unum(
            static_cast<std::uint64_t>(static_cast<double>(d) / (seconds > 0 ? seconds : 1) + 0.5));
    };
    auto delta = [](std::uint64_t a, std::uint64_t b) { return unum(b >= a ? b - a : b); };
    for (std::size_t i = 0; i < after.size() && i < before.size(); ++i) {
        Summary x = summarise(before[i].second), y = summarise(after[i].second);
        t.row({num(after[i].first), rate(x.rx_frames, y.rx_frames), rate(x.rx_bytes, y.rx_bytes),
               rate(x.tx_frames, y.tx_frames), rate(x.tx_bytes, y.tx_bytes),
               delta(x.rx_drops + x.tx_drops, y.rx_drops + y.tx_drops),
               delta(x.rx_errors + x.tx_errors, y.rx_errors + y.tx_errors)});
    }
    Output o = out(t);
    o.json["seconds"] = seconds;
    return o;
}

}  // namespace kelfctl
