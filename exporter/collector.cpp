// collector.cpp - one scrape: kelfd's read-backs turned into metrics.
#include "collector.h"

#include <kelfd/kel_lib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "config.h"
#include "readback.h"
#include "session.h"

namespace kelfd_exporter {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

// The families of one scrape, by name, in the order they were first named.
class Families {
public:
    void add(const std::string &name, MetricType type, const std::string &help, Labels labels,
             double v) {
        auto [it, fresh] = index_.try_emplace(name, out_.size());
        if (fresh) out_.push_back({name, help, type, {}});
        ClientMetric m;
        m.label = std::move(labels);
        if (type == MetricType::Counter)
            m.counter.value = v;
        else
            m.gauge.value = v;
        out_[it->second].metric.push_back(std::move(m));
    }
    std::vector<MetricFamily> take() { return std::move(out_); }

private:
    std::vector<MetricFamily> out_;
    std::map<std::string, std::size_t> index_;
};

std::string n(std::int64_t v) {
    return std::to_string(v);
}

struct Class {
    const char *name;
    std::uint64_t kelf_stat_cnt_t::*rx;
    std::uint64_t kelf_stat_cnt_t::*tx;
};
constexpr Class kClasses[] = {
    {"unicast", &kelf_stat_cnt_t::cntRxUcstPkts, &kelf_stat_cnt_t::cntTxUcstPkts},
    {"multicast", &kelf_stat_cnt_t::cntRxMcstPkts, &kelf_stat_cnt_t::cntTxMcstPkts},
    {"broadcast", &kelf_stat_cnt_t::cntRxBcstPkts, &kelf_stat_cnt_t::cntTxBcstPkts},
};

struct Cause {
    const char *name;
    std::uint64_t kelf_stat_cnt_t::*count;
};
constexpr Cause kCauses[] = {
    {"fcs_error", &kelf_stat_cnt_t::cntRxFCSErrors},
    {"rule", &kelf_stat_cnt_t::cntFFUDropPkts},
    {"stp", &kelf_stat_cnt_t::cntSTPDropPkts},
    {"vlan_tag", &kelf_stat_cnt_t::cntVLANTagDropPkts},
    {"vlan_ingress", &kelf_stat_cnt_t::cntVLANIngressBVPkts},
    {"vlan_egress", &kelf_stat_cnt_t::cntVLANEgressBVPkts},
    {"glort_miss", &kelf_stat_cnt_t::cntGlortMissDropPkts},
    {"policer", &kelf_stat_cnt_t::cntPolicerDropPkts},
    {"ttl", &kelf_stat_cnt_t::cntTTLDropPkts},
    {"parse_error", &kelf_stat_cnt_t::cntParseErrDropPkts},
    {"trigger", &kelf_stat_cnt_t::cntTriggerDropPkts},
    {"broadcast", &kelf_stat_cnt_t::cntBroadcastDropPkts},
    {"unknown_destination", &kelf_stat_cnt_t::cntDLFDropPkts},
    {"congestion_rx", &kelf_stat_cnt_t::cntRxCMDropPkts},
    {"congestion_tx", &kelf_stat_cnt_t::cntTxCMDropPkts},
    {"pause", &kelf_stat_cnt_t::cntPauseDropPkts},
    {"security", &kelf_stat_cnt_t::cntSecurityViolationPkts},
    {"tx_error", &kelf_stat_cnt_t::cntTxErrorDropPkts},
};

const char *kind_name(int kind) {
    switch (kind) {
        case KEL_X_PORT_CPU:
            return "cpu";
        case KEL_X_PORT_ETHERNET:
            return "ethernet";
        case KEL_X_PORT_PCIE:
            return "pcie";
        default:
            return "other";
    }
}

void ports(kelfctl::Session &s, Families &f) {
    const std::string unit = n(s.unit);
    auto held = kelfctl::read_back_ports(s);
    if (!held) kelfctl::refused("this kelfd reads nothing back: kelfd_exporter needs read-backs");
    for (const kel_x_port_t &p : *held) {
        const std::string port = n(p.port);
        if (p.link >= 0)
            f.add("kelfd_port_link_up", MetricType::Gauge, "1 when the port's link is up",
                  {{"port", port}, {"unit", unit}}, p.link);
        f.add("kelfd_port_info", MetricType::Gauge, "The port's kind and interface mode",
              {{"kind", kind_name(p.kind)}, {"mode", n(p.mode)}, {"port", port}, {"unit", unit}},
              1);
        if (p.speed >= 0)
            f.add("kelfd_port_speed_bytes_per_second", MetricType::Gauge, "The port's speed",
                  {{"port", port}, {"unit", unit}}, static_cast<double>(p.speed) * 1e6 / 8);
    }
    for (const kel_x_counters_t &c :
         kelfctl::read_back_counters(s).value_or(std::vector<kel_x_counters_t>{})) {
        if (c.ret != 0) continue;  // a port whose counters the switch did not give
        const std::string port = n(c.port);
        const kelf_stat_cnt_t &k = c.counters;
        f.add("kelfd_port_receive_bytes_total", MetricType::Counter,
              "Bytes of the good frames received", {{"port", port}, {"unit", unit}},
              static_cast<double>(k.cntRxGoodOctets));
        f.add("kelfd_port_transmit_bytes_total", MetricType::Counter,
              "Bytes of every frame transmitted", {{"port", port}, {"unit", unit}},
              static_cast<double>(k.cntTxOctets));
        for (const Class &cl : kClasses) {
            f.add("kelfd_port_receive_frames_total", MetricType::Counter, "Frames received",
                  {{"class", cl.name}, {"port", port}, {"unit", unit}},
                  static_cast<double>(k.*cl.rx));
            f.add("kelfd_port_transmit_frames_total", MetricType::Counter, "Frames transmitted",
                  {{"class", cl.name}, {"port", port}, {"unit", unit}},
                  static_cast<double>(k.*cl.tx));
        }
        for (const Cause &d : kCauses)
            f.add("kelfd_port_drops_total", MetricType::Counter, "Frames dropped, by cause",
                  {{"cause", d.name}, {"port", port}, {"unit", unit}},
                  static_cast<double>(k.*d.count));
    }
}

void rules(kelfctl::Session &s, Families &f, RuleSeries which) {
    if (which == RuleSeries::None) return;
    const std::string unit = n(s.unit);
    // Only the named rules are read when only they are wanted: a full unit
    // holds 131,072.
    auto held = kelfctl::read_back_rules(s, 0, false, true, which == RuleSeries::Named);
    if (!held) return;
    for (const kelfctl::HeldRule &r : *held) {
        if (which == RuleSeries::Named && r.def.comment.empty()) continue;
        if (!r.frames) continue;  // staged, not in force
        f.add("kelfd_rule_frames_total", MetricType::Counter, "Frames a rule has matched",
              {{"group", n(r.def.group)},
               {"id", n(r.def.id)},
               {"name", r.def.comment},
               {"unit", unit}},
              static_cast<double>(*r.frames));
    }
}

void objects(kelfctl::Session &s, Families &f) {
    const std::string unit = n(s.unit);
    if (auto u = kelfctl::read_back_unit(s)) {
        double rules = 0;
        for (int g = 0; g < KEL_MAX_GROUPS; ++g) rules += u->rules[g];  // packed: by index
        f.add("kelfd_rules", MetricType::Gauge, "Rules the unit holds", {{"unit", unit}}, rules);
    }
    auto lbgs = kelfctl::read_back_lbgs(s).value_or(std::vector<kelfctl::HeldLbg>{});
    f.add("kelfd_lbgs", MetricType::Gauge, "Load-balancing groups", {{"unit", unit}},
          static_cast<double>(lbgs.size()));
    for (const auto &l : lbgs) {
        std::string ports;
        for (int p : l.ports) ports += (ports.empty() ? "" : ",") + n(p);
        f.add("kelfd_lbg_info", MetricType::Gauge, "A load-balancing group and its ports",
              {{"lbg", n(l.number)}, {"name", l.name}, {"ports", ports}, {"unit", unit}}, 1);
    }
    auto mirrors = kelfctl::read_back_mirrors(s).value_or(std::vector<kelfctl::HeldMirror>{});
    f.add("kelfd_mirrors", MetricType::Gauge, "Mirrors", {{"unit", unit}},
          static_cast<double>(mirrors.size()));
    for (const auto &m : mirrors) {
        f.add("kelfd_mirror_info", MetricType::Gauge, "A mirror, its port and VLAN",
              {{"mirror", n(m.number)},
               {"name", m.name},
               {"port", n(m.port)},
               {"unit", unit},
               {"vlan", n(m.vlan)}},
              1);
        f.add("kelfd_mirror_monitored_ports", MetricType::Gauge, "Ports a mirror copies from",
              {{"mirror", n(m.number)}, {"unit", unit}}, static_cast<double>(m.ports.size()));
    }
    auto mcasts = kelfctl::read_back_mcasts(s).value_or(std::vector<kelfctl::HeldMcast>{});
    f.add("kelfd_mcasts", MetricType::Gauge, "Multicast groups", {{"unit", unit}},
          static_cast<double>(mcasts.size()));
    for (const auto &m : mcasts)
        f.add("kelfd_mcast_listeners", MetricType::Gauge, "A multicast group's listeners",
              {{"mcast", n(m.number)}, {"name", m.name}, {"port", n(m.port)}, {"unit", unit}},
              static_cast<double>(m.listeners.size()));
}

// Whether the units are as the file says: the plan `kelfctl check` prints.
void drift(kelfctl::Session &s, Families &f, const std::string &path) {
    std::ifstream in(path);
    if (!in) {
        f.add("kelfd_drift_check_ok", MetricType::Gauge,
              "1 when the configuration file was read and compared", {}, 0);
        return;
    }
    kelfctl::ConfigFile file = kelfctl::parse_config(s, in, path, 0);
    if (!file.errors.empty()) {
        f.add("kelfd_drift_check_ok", MetricType::Gauge,
              "1 when the configuration file was read and compared", {}, 0);
        return;
    }
    kelfctl::AppliedRecord held(s);
    kelfctl::Plan plan = kelfctl::make_plan(s, file, held);
    std::map<int, int> changes;
    for (const auto &u : file.units) changes[u.first];
    for (const kelfctl::Step &st : plan.steps) ++changes[st.unit];
    for (const auto &[unit, c] : changes) {
        f.add("kelfd_drift", MetricType::Gauge,
              "1 when the unit differs from the configuration file", {{"unit", n(unit)}},
              c > 0 ? 1 : 0);
        f.add("kelfd_drift_changes", MetricType::Gauge,
              "Changes kelfctl apply would make to the unit", {{"unit", n(unit)}}, c);
    }
    f.add("kelfd_drift_check_ok", MetricType::Gauge,
          "1 when the configuration file was read and compared", {}, 1);
}

}  // namespace

std::vector<MetricFamily> Collector::Collect() const {
    const auto t0 = std::chrono::steady_clock::now();
    Families f;
    bool up = true;
    // One scrape at a time reads kelfd; one that cannot get its turn within
    // the time of two exchanges answers at once instead of piling up.
    // (A plain mutex tried in turns: ThreadSanitizer follows it, where it
    // does not follow the clock waits of a timed one.)
    std::unique_lock<std::mutex> one(scrape_, std::defer_lock);
    const auto give_up = t0 + 2 * opt_.timeout;
    while (!one.try_lock() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!one.owns_lock()) {
        std::fputs("kelfd_exporter: a scrape is still reading kelfd; this one reads nothing\n",
                   stderr);
        f.add("kelfd_up", MetricType::Gauge, "1 when kelfd answered the scrape's reads", {}, 0);
        return f.take();
    }
    try {
        kelfctl::SocketTransport transport(opt_.socket, opt_.timeout);
        std::ostringstream out, err;
        kelfctl::Session s(transport, out, err);
        const int units = s.switch_count();
        f.add("kelfd_units", MetricType::Gauge, "Switches kelfd runs", {}, units);
        // A unit whose reads fail (one not up yet, an answer that cannot be
        // read) says so in kelfd_unit_up; only kelfd away ends the scrape.
        auto unit_failed = [](const kelfctl::Failure &e) {
            if (e.status == kelfctl::kExitUnreachable) throw;
            std::fprintf(stderr, "kelfd_exporter: %s\n", e.what());
        };
        for (int u = 0; u < units && u < KEL_MAX_UNITS; ++u) {
            s.unit = u;
            double unit_up = 1;
            try {
                ports(s, f);
                rules(s, f, opt_.rules);
                objects(s, f);
            } catch (const kelfctl::Failure &e) {
                unit_failed(e);
                unit_up = 0;
            }
            f.add("kelfd_unit_up", MetricType::Gauge, "1 when the unit's reads succeeded",
                  {{"unit", n(u)}}, unit_up);
        }
        if (!opt_.config.empty()) try {
                drift(s, f, opt_.config);
            } catch (const kelfctl::Failure &e) {
                unit_failed(e);
                f.add("kelfd_drift_check_ok", MetricType::Gauge,
                      "1 when the configuration file was read and compared", {}, 0);
            }
    } catch (const std::exception &e) {
        // kelfd away, or an answer that could not be read: this scrape says
        // so in kelfd_up and keeps nothing else of it.
        up = false;
        f = Families();
        std::fprintf(stderr, "kelfd_exporter: scrape failed: %s\n", e.what());
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    f.add("kelfd_up", MetricType::Gauge, "1 when kelfd answered the scrape's reads", {},
          up ? 1 : 0);
    f.add("kelfd_scrape_duration_seconds", MetricType::Gauge,
          "How long the scrape's reads of kelfd took", {}, took);
    return f.take();
}

}  // namespace kelfd_exporter
