// Whole-switch and per-port objects: config, mask, port, stats.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "objects.h"
#include "ports.h"
#include "readback.h"

namespace kelfctl {
namespace {

const char kConfigHelp[] = R"(Usage: kelfctl config set CONFIG
       kelfctl config show
       kelfctl config help

CONFIG := { pairs | fan-in | isolated | mesh | 1 | 2 | 5 | 6 }

An operating configuration sets the port masks of ports 1 to 48 at once:
  pairs     (1)  ports forward in pairs only: 1 and 2, 3 and 4 ... 47 and 48
  fan-in    (2)  ports 1-4 forward to port 5 only, port 5 to ports 1-4; adds
                 redirect rules from logical ports 50000-50003 to ports 1-4
  isolated  (5)  no port forwards to another (the start-up configuration)
  mesh      (6)  every port 1-47 forwards to every port 1-47
`config` alone shows the unit's configuration.
)";

const char kMaskHelp[] = R"(Usage: kelfctl mask set PORTS to PORTS
       kelfctl mask show [PORTS]
       kelfctl mask help

PORTS := { LIST | all | none }, LIST like 1-4,7; ports 1 to 47

A port's mask is the set of ports it may forward frames to. set gives every
port of the first list the second list as its mask (none: forward nowhere).
show prints the masks of the given ports (default all); `mask` alone shows
them all.
)";

const char kPortHelp[] = R"(Usage: kelfctl port show [PORTS] [-d]
       kelfctl port link [PORTS]
       kelfctl port set PORTS SETTING [SETTING ...]
       kelfctl port state PORT
       kelfctl port help

SETTING := { parser N | frame-update MASK | ttl-update { on | off } |
             loopback { off | 1 | 2 } | prbs ORDER { tx | rx } | vlans { all | none } }
ORDER   := { 7 | 9 | 11 | 15 | 23 | 31 }

show prints a table of the unit's ports (default all: the CPU port 0,
ports 1 to 48 and the internal ports 50000 to 50003): kind, link, interface
mode, speed, loopback mode and the ports its mask lets it forward to. kelfd
reads them back for every port at once, KIND as the switch says and LINK
as its port state says (as fmsimctl shows it); loopback comes from kelfd's
port-state diagnostic, which also puts the port's description in kelfd's
messages. Against an older kelfd KIND follows the port numbering (0 cpu,
1-40 ethernet, 41-48 pcie, 50000-50003 internal). -d adds the port state,
parser depth, routed-frame update fields and TTL update. A value kelfd
cannot read shows as -. link prints only the link state of ports (default
1-48). `port` alone shows all ports.
set changes each given port in turn and stops at the first refusal:
  parser N          parser depth, as kelfd counts it: 2 (the outermost
                    headers) to 4 (the deepest parse, kelfd's at start)
  frame-update MASK fields rewritten in routed frames (a bit mask of the
                    switch's 16 fields, 0 to 0xffff)
  ttl-update        decrement the TTL of routed frames
  loopback          loopback mode (off also turns loopback suppression on)
  prbs ORDER tx|rx  start a PRBS-ORDER test pattern, sending or checking
  vlans all|none    join (leave) every VLAN 2 to 4095
state asks kelfd for the port's mode, state and info words; kelfd also
puts the switch's and the port's description in its messages (syslog when
it runs detached, its output with -v).
)";

const char kStatsHelp[] = R"(Usage: kelfctl stats show [PORTS] [-d]
       kelfctl stats watch [PORTS] [interval SECONDS] [count N]
       kelfctl stats priorities PORT
       kelfctl stats reset PORTS
       kelfctl stats help

PORTS := { LIST | all }, LIST like 1-4,7; ports 0 (the CPU port) to 48,
default 1 to 48.

show prints a table of the counters people read for each port: received
and sent frames, bytes, drops and errors; with -d, every counter the switch
keeps, port by port. watch reads the counters every SECONDS (default 1,
at least 0.1) and prints per port the frames and bytes per second and the
drops and errors since the last sample, until interrupted or for N
samples; piped, or with -j, it prints one JSON document a sample.
priorities prints the received frames per priority 0 to 15; reset clears
the counters. `stats` alone shows ports 1 to 48.
)";

// Operating configurations by name and number.
struct CfgName {
    const char *name;
    int cfg;
};
constexpr CfgName kCfgs[] = {{"pairs", 1}, {"fan-in", 2}, {"isolated", 5}, {"mesh", 6}};

void config_set(Session &s, Args &a) {
    std::string w = a.next("CONFIG");
    a.finish();
    int cfg = -1;
    for (const auto &c : kCfgs)
        if (w == c.name || w == std::to_string(c.cfg)) cfg = c.cfg;
    if (cfg < 0)
        usage("config: '" + w +
              "' is not a configuration (pairs, fan-in, isolated, mesh, or 1, 2, 5, 6)");
    s.value(send_config(s, cfg), "apply configuration " + w + " to unit " + std::to_string(s.unit));
    s.print_ok();
}

void config_show(Session &s, Args &a) {
    a.finish();
    int cfg = s.value(read_config(s), "read the configuration of unit " + std::to_string(s.unit));
    s.print(print_config(cfg));
}

void mask_set(Session &s, Args &a) {
    std::vector<int> in = s.ports(a, "PORTS", PortFamily::Mask);
    if (!a.accept("to")) usage("mask set needs PORTS to PORTS");
    std::vector<int> eg;
    if (!a.accept("none")) eg = s.ports(a, "egress PORTS", PortFamily::Mask);
    a.finish();
    if (in.empty()) usage("mask set: no port to set");
    s.value(send_masks(s, in, eg), "set the masks of ports " + format_port_list(in));
    s.print_ok();
}

void mask_show(Session &s, Args &a) {
    std::vector<int> ports;
    if (a.done())
        ports = parse_port_list("all", "PORTS", 1, kMaskPorts, kMaskPorts);
    else
        ports = s.ports(a, "PORTS", PortFamily::Mask);
    a.finish();
    std::vector<PortMask> masks;
    for (int p : ports) masks.push_back({p, read_mask(s, p)});
    s.print(print_masks(masks));
}

std::optional<int> port_read(Session &s, int code, int port) {
    std::int32_t v = read_port_value(s, code, port);
    if (v < 0) return std::nullopt;
    return v;
}

std::vector<int> port_list(Session &s, Args &a, PortFamily f = PortFamily::Card) {
    std::vector<int> p;
    if (a.done())
        p = parse_port_list("1-48", "PORTS", 0, 65535);
    else
        p = s.ports(a, "PORTS", f);
    a.finish();
    return p;
}

void port_show(Session &s, Args &a) {
    std::vector<int> ports;
    if (a.done()) {
        Args all({"all"});
        ports = s.ports(all, "PORTS", PortFamily::Any);
    } else {
        ports = s.ports(a, "PORTS", PortFamily::Any);
    }
    a.finish();
    std::vector<PortInfo> info;
    bool any = false;
    // kelfd reads every port back at once: kind, link as the switch's port
    // state says, mode, speed, properties and mask.
    std::map<int, kel_x_port_t> held;
    if (auto h = read_back_ports(s))
        for (const kel_x_port_t &x : *h) held[x.port] = x;
    for (int p : ports) {
        PortInfo i{p, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
        if (auto it = held.find(p); it != held.end()) {
            const kel_x_port_t &x = it->second;
            static const char *const kKinds[] = {"cpu", "ethernet", "pcie", "other"};
            if (x.kind >= 0 && x.kind <= KEL_X_PORT_OTHER) i.kind = kKinds[x.kind];
            kel_lbg_query_list_t q = read_port_state(s, p);  // the one read of loopback
            if (q.ret == 0) i.loopback = q.kel_lbg_list.lbg_list[3];
            if (x.state >= 0) i.state = x.state;
            if (x.mode >= 0) i.mode = x.mode;
            if (x.speed >= 0) i.speed = x.speed;
            if (x.link >= 0 && p != 0) i.link = x.link;
            if (s.details && p != 0) {
                if (x.parser >= 0) i.parser = x.parser;
                i.frame_update = x.frame_update;
                if (x.ttl_update >= 0) i.ttl_update = x.ttl_update;
            }
            if (x.mask_ret == 0 && port_in(PortFamily::Mask, p)) {
                std::vector<int> eg;
                for (int q2 = 1; q2 <= kMaskPorts; ++q2)
                    if (x.egress[q2 / 8] & (1u << (q2 % 8))) eg.push_back(q2);
                i.mask = eg;
            }
            any = true;
            info.push_back(i);
            continue;
        }
        // The port-state diagnostic is the one read of loopback; it also
        // carries the port's state, interface mode and speed, and reaches
        // the CPU and internal ports that the property reads refuse.
        kel_lbg_query_list_t q = read_port_state(s, p);
        if (q.ret == 0) {
            i.state = q.kel_lbg_list.lbg_list[1];
            i.loopback = q.kel_lbg_list.lbg_list[3];
            i.mode = q.kel_lbg_list.lbg_list[4];
            i.speed = q.kel_lbg_list.lbg_list[5];
        }
        if (port_in(PortFamily::Card, p)) {
            i.link = port_read(s, KEL_GET_PORT_LINK, p);
            if (s.details) {
                i.parser = port_read(s, KEL_GET_PORT_PARSER, p);
                i.frame_update = port_read(s, KEL_GET_RFRAME_UPDATE, p);
                i.ttl_update = port_read(s, KEL_GET_TTL_UPDATE, p);
            }
        }
        if (port_in(PortFamily::Mask, p)) try {
                i.mask = read_mask(s, p);
            } catch (const Failure &f) {
                if (f.status != kExitRefused) throw;  // an unreachable kelfd ends the table
            }
        any = any || i.state || i.link;
        info.push_back(i);
    }
    if (!any) refused("kelfd answered none of the reads of ports " + format_port_list(ports));
    s.print(print_ports(info, s.details));
}

void port_link(Session &s, Args &a) {
    std::vector<int> ports = port_list(s, a);
    std::vector<std::pair<int, int>> links;
    std::map<int, int> held;  // the switch's port state, as kelfd reads it back
    if (auto h = read_back_ports(s))
        for (const kel_x_port_t &x : *h)
            if (x.link >= 0) held[x.port] = x.link;
    for (int p : ports) {
        if (held.count(p)) {
            links.emplace_back(p, held[p]);
            continue;
        }
        links.emplace_back(p, s.value(read_port_value(s, KEL_GET_PORT_LINK, p),
                                      "read the link of port " + std::to_string(p)));
    }
    s.print(print_links(links));
}

PortSetting parse_setting(Args &a) {
    std::string kw = a.next("SETTING");
    if (kw == "parser")
        return {"set the parser depth", KEL_SET_PORT_PARSER, 0,
                static_cast<std::int32_t>(property_value(a, kw))};
    if (kw == "frame-update")
        return {"set the routed-frame update fields", KEL_SET_RFRAME_UPDATE, 0,
                static_cast<std::int32_t>(property_value(a, kw))};
    if (kw == "ttl-update")
        return {"set TTL update", KEL_SET_TTL_UPDATE, 0, a.on_off("ttl-update") ? 1 : 0};
    if (kw == "loopback") {
        std::string m = a.next("loopback MODE");
        int mode = m == "off" ? 0 : m == "1" ? 1 : m == "2" ? 2 : -1;
        if (mode < 0) usage("loopback: '" + m + "' is not off, 1 or 2");
        PortSetting ps{"set loopback", KEL_SET_LOOPBACK, 1, mode};
        ps.sdk_status = true;
        return ps;
    }
    if (kw == "prbs") {
        std::string o = a.next("prbs ORDER");
        int order = 0;
        for (int v : {7, 9, 11, 15, 23, 31})
            if (o == std::to_string(v)) order = v;
        if (order == 0) usage("prbs: '" + o + "' is not a pattern order (7, 9, 11, 15, 23, 31)");
        std::string dir = a.next("prbs direction tx|rx");
        if (dir != "tx" && dir != "rx") usage("prbs: '" + dir + "' is not tx or rx");
        PortSetting ps{"start PRBS-" + o, KEL_SET_PRBS, 2, 0};
        ps.dev = order;
        ps.addr = dir == "tx" ? 1 : 0;
        return ps;
    }
    if (kw == "vlans") {
        std::string w = a.next("vlans all|none");
        if (w != "all" && w != "none") usage("vlans: '" + w + "' is not all or none");
        PortSetting ps{w == "all" ? "join every VLAN" : "leave every VLAN",
                       w == "all" ? KEL_ADD_VLAN_PROMISC : KEL_DEL_VLAN_PROMISC, 0, 0};
        ps.sdk_status = true;
        return ps;
    }
    usage("unknown port setting '" + kw + "'");
}

void port_set(Session &s, Args &a) {
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
    std::vector<PortSetting> settings;
    while (!a.done()) settings.push_back(parse_setting(a));
    if (settings.empty()) usage("port set needs a SETTING");
    for (int p : ports) {
        for (const auto &ps : settings) {
            std::int32_t st = send_port_setting(s, ps, p);
            std::string what = ps.what + " of port " + std::to_string(p);
            if (ps.sdk_status)
                s.sdk_ok(st, what);
            else
                s.value(st, what);
        }
    }
    s.print_ok();
}

void port_state(Session &s, Args &a) {
    int port = s.port(a, "PORT", PortFamily::Counted);
    a.finish();
    kel_lbg_query_list_t q = read_port_state(s, port);
    if (q.ret != 0)
        refused("cannot read the state of port " + std::to_string(port) + ": kelfd refused");
    s.print(print_port_state(port, q));
}

kelf_stat_cnt_t read_counters(Session &s, int port) {
    if_kel_t k = s.kel(KEL_GET_STAT);
    k.kel_mem.port = port;
    kel_stat_t st;
    s.record(&k, sizeof k, &st, sizeof st);
    if (st.ret_val != 0)
        refused("cannot read the counters of port " + std::to_string(port) +
                ": the switch refused");
    return st.kel_stat_cnt.kelf;
}

// The counters of the ports: read back at once when kelfd can, else port
// by port.
std::vector<std::pair<int, kelf_stat_cnt_t>> counters_of(Session &s,
                                                         const std::vector<int> &ports) {
    std::vector<std::pair<int, kelf_stat_cnt_t>> c;
    if (ports.size() > 1)
        if (auto held = read_back_counters(s)) {
            std::map<int, const kel_x_counters_t *> by_port;
            for (const kel_x_counters_t &x : *held) by_port[x.port] = &x;
            for (int p : ports) {
                auto it = by_port.find(p);
                if (it == by_port.end()) {
                    c.emplace_back(p, read_counters(s, p));
                    continue;
                }
                if (it->second->ret != 0)
                    refused("cannot read the counters of port " + std::to_string(p) +
                            ": the switch refused");
                c.emplace_back(p, it->second->counters);
            }
            return c;
        }
    for (int p : ports) c.emplace_back(p, read_counters(s, p));
    return c;
}

std::vector<int> stats_ports(Session &s, Args &a, const std::vector<Choice> &stop) {
    if (a.done() || resolve(a.peek(), stop).match == Match::Found)
        return parse_port_list("1-48", "PORTS", 0, 48);
    return s.ports(a, "PORTS", PortFamily::Counted);
}

void stats_show(Session &s, Args &a) {
    std::vector<int> ports = stats_ports(s, a, {});
    a.finish();
    std::vector<std::pair<int, kelf_stat_cnt_t>> c = counters_of(s, ports);
    s.print(s.details ? print_all_counters(c) : print_counter_table(c));
}

void stats_watch(Session &s, Args &a) {
    static const std::vector<Choice> kw = {{"interval", {"-i"}}, {"count", {"-c"}}};
    std::vector<int> ports = stats_ports(s, a, kw);
    double interval = 1;
    std::optional<std::int64_t> count;
    while (!a.done()) {
        if (a.keyword(kw, "keyword") == "interval") {
            std::string w = a.next("interval SECONDS");
            char *end = nullptr;
            interval = std::strtod(w.c_str(), &end);
            if (w.empty() || *end != '\0' || !(interval >= 0.1 && interval <= 3600))
                usage("interval SECONDS: '" + w + "' is not a number of seconds from 0.1 to 3600");
        } else
            count = a.number("count N", 1, INT32_MAX);
    }
    bool lines = s.json || !s.terminal;
    std::vector<std::pair<int, kelf_stat_cnt_t>> prev = counters_of(s, ports);
    auto t0 = std::chrono::steady_clock::now();
    for (std::int64_t n = 0; !count || n < *count; ++n) {
        std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        std::vector<std::pair<int, kelf_stat_cnt_t>> cur = counters_of(s, ports);
        auto t1 = std::chrono::steady_clock::now();
        double secs = std::chrono::duration<double>(t1 - t0).count();
        Output o = print_counter_rates(prev, cur, secs);
        if (lines) {
            s.out() << o.json.dump() << std::endl;
        } else {
            s.out() << "\033[H\033[2J"
                    << "every " << interval << " s, sample " << n + 1 << "\n"
                    << o.text << std::flush;
        }
        prev = std::move(cur);
        t0 = t1;
    }
}

void stats_priorities(Session &s, Args &a) {
    int port = s.port(a, "PORT", PortFamily::Counted);
    a.finish();
    if_kel_t k = s.kel(KEL_GET_PRIO_STAT);
    k.kel_mem.port = port;
    kel_stat_t st;
    s.record(&k, sizeof k, &st, sizeof st);
    if (st.ret_val != 0)
        refused("cannot read the priority counters of port " + std::to_string(port) +
                ": kelfd refused");
    s.print(print_prio_stats(port, st.kel_stat_cnt.prio_kelf));
}

void stats_reset(Session &s, Args &a) {
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Counted);
    a.finish();
    for (int p : ports) {
        if_kel_t k = s.kel(KEL_RESET_STAT);
        k.kel_mem.port = p;
        s.value(s.status(k), "reset the counters of port " + std::to_string(p));
    }
    s.print_ok();
}

}  // namespace

std::int64_t property_value(Args &a, const std::string &kw) {
    if (kw == "parser") return a.number("parser N", kParserShallowest, kParserDeepest);
    std::string w = a.next("frame-update MASK");
    std::uint64_t v = value([&] { return parse_u64(w, "frame-update MASK"); });
    if (v > kFrameUpdateFields)
        usage("frame-update MASK: '" + w +
              "' sets bits past the switch's 16 update fields (a mask from 0 to " +
              hex(kFrameUpdateFields) + ")");
    return static_cast<std::int64_t>(v);
}

std::string config_name(int cfg) {
    for (const auto &c : kCfgs)
        if (c.cfg == cfg) return c.name;
    return cfg == 0 ? "none" : "unknown";
}

std::vector<Object> port_objects() {
    return {
        {"config",
         "cfg",
         "operating configuration of the switch",
         kConfigHelp,
         config_show,
         {{"set", nullptr, config_set}, {"show", nullptr, config_show}}},
        {"mask",
         nullptr,
         "port masks: where each port may forward",
         kMaskHelp,
         mask_show,
         {{"set", nullptr, mask_set}, {"show", nullptr, mask_show}}},
        {"port",
         nullptr,
         "port properties, link, test modes",
         kPortHelp,
         port_show,
         {{"show", nullptr, port_show},
          {"link", nullptr, port_link},
          {"set", nullptr, port_set},
          {"state", nullptr, port_state}}},
        {"stats",
         nullptr,
         "port counters",
         kStatsHelp,
         stats_show,
         {{"show", nullptr, stats_show},
          {"watch", nullptr, stats_watch},
          {"priorities", "prio", stats_priorities},
          {"reset", nullptr, stats_reset}}},
    };
}

}  // namespace kelfctl
