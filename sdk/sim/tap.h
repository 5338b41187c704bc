// tap.h - TAP interfaces attached to ports of the simulated switch.
//
// FMSIM_TAP names the ports, by logical port number:
//
//   FMSIM_TAP=1-4            ports 1 to 4 of every switch of the platform
//   FMSIM_TAP="1,3,5-7"      a comma list of ports and ranges
//   FMSIM_TAP="0:1-2 1:5"    groups separated by blanks; UNIT: limits a
//                            group to one switch
//
// Each named port gets a TAP interface fms<unit>p<port>: a frame written to
// the interface enters the port, a frame leaving the port is written to the
// interface. The interfaces are not persistent: they go away with the
// process, wherever they were moved.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fmsim {

struct TapPort {
    int sw = 0;
    int port = 0;
    bool operator==(const TapPort &) const = default;
};

// Parses an FMSIM_TAP value against a platform of `switches` switches whose
// ports has_port(sw, port) tells. The ports come out ordered by switch, then
// port, each once. On a malformed value, or a port or unit the platform
// lacks, returns false with *error saying which word is wrong.
bool parse_tap_ports(std::string_view text, int switches,
                     const std::function<bool(int sw, int port)> &has_port,
                     std::vector<TapPort> *out, std::string *error);

// The interface name of a port: fms<unit>p<port>.
std::string tap_name(const TapPort &p);

}  // namespace fmsim
