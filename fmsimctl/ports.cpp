// fmsimctl ports: each port's kind, link, VLANs, mask and counters.
#include <fmsim/control.h>

#include <ostream>

#include "command.h"
#include "output.h"

namespace fmsimctl {
namespace {

// fmsim's port table names a link "up" or "down"; fmsimctl's JSON gives it
// as kelfctl does, a boolean. A value fmsimctl does not know is null.
kelfctl::Cell link_cell(const Json &link) {
    bool up;
    if (link.is_boolean())
        up = link.get<bool>();
    else if (link == "up" || link == "down")
        up = link == "up";
    else
        return kelfctl::none();
    return {up, up ? "up" : "down"};
}

}  // namespace

kelfctl::Table port_table(const Json &j) {
    if (!j.contains("ports") || !j["ports"].is_array()) refused("fmsim's port list is malformed");
    kelfctl::Table t("ports", {{"port", "PORT"},
                               {"kind", "KIND"},
                               {"link", "LINK"},
                               {"vlans", "VLANS"},
                               {"mask", "MASK"},
                               {"rx_frames", "RX"},
                               {"tx_frames", "TX"},
                               {"rx_octets", "RX-OCTETS"},
                               {"tx_octets", "TX-OCTETS"},
                               {"drops", "DROPS"}});
    for (const auto &p : j["ports"]) {
        std::vector<int> mask;
        for (const auto &m : p.value("mask", Json::array())) mask.push_back(m.get<int>());
        t.row({kelfctl::num(p.value("port", 0)), kelfctl::str(p.value("kind", "?")),
               link_cell(p.value("link", Json())), kelfctl::num(p.value("vlans", 0)),
               kelfctl::ports(mask), kelfctl::unum(p.value("rx_frames", 0ull)),
               kelfctl::unum(p.value("tx_frames", 0ull)), kelfctl::unum(p.value("rx_octets", 0ull)),
               kelfctl::unum(p.value("tx_octets", 0ull)), kelfctl::unum(p.value("drops", 0ull))});
    }
    return t;
}

int cmd_ports(Ctx &c, std::vector<std::string> &w) {
    no_more(w);
    Link link(c.socket, c.timeout);
    Body b(fmsim::control::kPorts);
    b.put<std::int32_t>(c.unit);
    kelfctl::Table t = port_table(parse_json(link.call(b.data())));
    if (c.json)
        *c.out << c.dump(t.json()) << '\n';
    else
        t.text(*c.out);
    return kExitOk;
}

}  // namespace fmsimctl
