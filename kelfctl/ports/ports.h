// ports.h - the whole-switch and per-port objects (config, mask, port,
// stats): their requests and their printers. The send_* and read_*
// functions are the one place each of their requests is built.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output.h"
#include "session.h"
#include "values.h"

namespace kelfctl {

// Port masks cover ports 1 to 47.
inline constexpr int kMaskPorts = KEL_MAX_PORTS - 1;
// Sets the bits of ports in a port bit set of the wire.
void set_bits(std::uint8_t *set, const std::vector<int> &ports);

// Operating configuration: kelfd's reply as it came.
std::int32_t read_config(Session &s);
std::int32_t send_config(Session &s, int cfg);
// Gives every port of ingress the mask egress.
std::int32_t send_masks(Session &s, const std::vector<int> &ingress,
                        const std::vector<int> &egress);
// The ports port p's mask lets it forward to; a refusal fails the command.
std::vector<int> read_mask(Session &s, int p);

// A read of one port property (link, parser, frame-update, ttl-update):
// the value, or -1 when kelfd refused.
std::int32_t read_port_value(Session &s, int code, int port);
// One change of `port set`, ready to send to each port.
struct PortSetting {
    std::string what;
    int code;
    int field_port;  // 0: if_kel.port, 1: dev, 2: val
    std::int32_t val = 0, dev = 0, addr = 0;
    bool sdk_status = false;  // the reply is a switch status, not 0 / -1
};
std::int32_t send_port_setting(Session &s, const PortSetting &ps, int port);
// The properties a configuration file keeps, by keyword, with their codes.
struct PortProperty {
    const char *kw;
    int get, set;
};
extern const PortProperty kFileProperties[3];  // parser, frame-update, ttl-update
// What the switch holds of them. kelfd counts parser depths from 2: 2 is
// the outermost headers, 4 the deepest parse (kelfd's at start). The
// routed-frame update mask has a bit for each of 16 fields.
inline constexpr int kParserShallowest = 2, kParserDeepest = 4;
inline constexpr std::uint32_t kFrameUpdateFields = 0xFFFF;
// The value of `parser N` or `frame-update MASK` (kw already taken),
// refused with its range when the switch cannot hold it.
std::int64_t property_value(Args &a, const std::string &kw);
PortSetting property_setting(const PortProperty &p, std::int64_t value);
// The port-state diagnostic: state, loopback, mode and speed words.
kel_lbg_query_list_t read_port_state(Session &s, int port);

// Printing.
Output print_config(int cfg);
std::string config_name(int cfg);
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
    std::optional<std::string> kind;       // as kelfd reads it back
};
// "ethernet", "pcie" ... from the port's number and its interface mode.
std::string port_kind_of(const PortInfo &i);
std::string eth_mode_name(int mode);  // "25gbase-sr", "disabled"
std::string speed_text(int mbps);     // "25G", "100M"
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

}  // namespace kelfctl
