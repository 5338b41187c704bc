// print.h - one printer per object: from what kelfd answered to an Output
// that holds both the text and the JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kelfd/kel_lib.h>
#include "output.h"
#include "rule.h"

namespace kelfctl {

// Rules.
struct RuleCounter {
    int group;
    std::int64_t id;
    std::uint64_t frames;
};
// One written rule became these ids (several for a port range).
Output print_rules_added(int group, const std::vector<std::int64_t> &ids, const std::string &match);
// A table of rules, or with detail their `rule add` lines (an export);
// with counters, each rule's frames.
Output print_rules(const std::vector<RuleDef> &rules, bool detail,
                   const std::optional<std::vector<RuleCounter>> &counters = std::nullopt);
Output print_rule_counters(const std::vector<RuleCounter> &c);

// Operating configuration, port masks, port properties, statistics.
Output print_config(int cfg);
struct PortMask {
    int port;
    std::vector<int> egress;
};
Output print_masks(const std::vector<PortMask> &m);
struct PortInfo {
    int port;
    std::optional<int> link, speed, mode, parser, frame_update, ttl_update;
    // From the port-state diagnostic: the SDK's port state and loopback mode.
    std::optional<int> state, loopback;
    std::optional<std::vector<int>> mask;  // ports it forwards to (1 to 47)
};
// "ethernet", "pcie" ... from the port's number and its interface mode.
std::string port_kind_of(const PortInfo &i);
std::string eth_mode_name(int mode);      // "25gbase-sr", "disabled"
std::string speed_text(int mbps);         // "25G", "100M"
// The table of ports; details adds parser, frame-update, ttl-update, state.
Output print_ports(const std::vector<PortInfo> &p, bool details = false);
Output print_links(const std::vector<std::pair<int, int>> &links);
Output print_port_state(int port, const kel_lbg_query_list_t &q);
Output print_stats(int port, const kelf_stat_cnt_t &c);
using PortCounters = std::vector<std::pair<int, kelf_stat_cnt_t>>;
// The counters people read, a row per port.
Output print_counter_table(const PortCounters &c);
// Every counter, port by port.
Output print_all_counters(const PortCounters &c);
// Frames and bytes per second and drops and errors between two samples.
Output print_counter_rates(const PortCounters &before, const PortCounters &after, double seconds);
Output print_prio_stats(int port, const kelf_prio_stat_cnt_t &c);
std::string config_name(int cfg);

// Load-balancing groups, mirrors, multicast groups, hashing.
Output print_lbg_added(int lbg);
Output print_lbgs(const std::vector<int> &lbgs, bool whole = true);
struct MirrorInfo {
    int mirror;
    std::optional<std::vector<int>> ports;  // nullopt: none monitored
};
Output print_mirrors(const std::vector<MirrorInfo> &m);
// Rules that send traffic to a group or mirror: group and id.
using RuleUses = std::vector<std::pair<int, std::int64_t>>;
// One group or mirror with everything kelfd reports of it and the rules
// that use it; what kelfd cannot report is said so.
Output print_lbg_detail(int lbg, bool listed, const RuleUses &rules);
Output print_mirror_detail(const MirrorInfo &m, const RuleUses &rules);
Output print_mcast_created(int group);
Output print_mcast(int group, int port);
Output print_l2_hash(const kel_l2_hash_t &h);
Output print_l3_hash(const kel_l3_hash_t &h);

// Platform hardware and the daemon.
Output print_value(const std::string &key, std::int64_t v, int hex_digits = 0);
Output print_block(const kel_query_list_t &q, std::uint32_t length);
Output print_temperature(int sensor, int dev, int celsius);
Output print_gpio(int gpio, std::optional<int> direction, std::optional<int> value);
Output print_daemon(int switches, int stay_up);
Output print_raw(int code, const std::vector<unsigned char> &reply);

}  // namespace kelfctl
