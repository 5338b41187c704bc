// fmsimctl trace: one frame into a port, and each stage's decision.
#include <fmsim/control.h>

#include <ostream>

#include "command.h"
#include "frames.h"
#include "values.h"

namespace fmsimctl {
namespace {

std::string hex_text(const std::string &hex, std::size_t max_bytes) {
    std::string s;
    for (std::size_t i = 0; i < hex.size() && i / 2 < max_bytes; i += 2) {
        if (i) s += ' ';
        s += hex.substr(i, 2);
    }
    if (hex.size() / 2 > max_bytes) s += " ...";
    return s;
}

// A short decode of the parsed fields: "02:..:01 > 02:..:02 vlan 5 IPv4 192.0.2.1 > 192.0.2.2 udp
// 1000 > 2000".
std::string frame_text(const Json &p) {
    std::string s = p.value("src_mac", "?") + " > " + p.value("dst_mac", "?");
    if (p.contains("tags") && p["tags"].is_array())
        for (const auto &t : p["tags"]) s += " vlan " + std::to_string(t.value("vlan", 0));
    int et = p.value("ethertype", 0);
    if (p.contains("src_ip")) {
        s += (et == 0x86DD ? " IPv6 " : " IPv4 ") + p.value("src_ip", "?") + " > " +
             p.value("dst_ip", "?");
        if (p.contains("protocol")) s += " " + kelfctl::format_protocol(p.value("protocol", 0));
        if (p.contains("sport"))
            s += " " + std::to_string(p.value("sport", 0)) + " > " +
                 std::to_string(p.value("dport", 0));
    } else {
        s += " ethertype " + kelfctl::format_ethertype(et);
    }
    if (!p.value("error", Json(nullptr)).is_null())
        s += " (parse error: " + p["error"].get<std::string>() + ")";
    return s;
}

void print_trace_text(std::ostream &os, const Json &t) {
    os << "trace    unit " << t.value("unit", 0) << " in-port " << t.value("in_port", 0) << ", "
       << t.value("length", 0) << " bytes\n";
    if (t.contains("parsed")) os << "frame    " << frame_text(t["parsed"]) << '\n';
    os << "vlan     " << t.value("vlan", -1) << " priority " << t.value("priority", 0)
       << " switch-priority " << t.value("switch_priority", 0) << '\n';
    if (t.contains("stages") && !t["stages"].empty()) {
        os << "stages\n";
        for (const auto &l : t["stages"]) os << "  " << l.get<std::string>() << '\n';
    }
    os << "rules";
    if (t["rules"].empty()) os << "    none hit";
    os << '\n';
    for (const auto &r : t["rules"])
        os << "  group " << r.value("group", 0) << " id " << r.value("id", 0) << "  "
           << r.value("action", "?") << (r.value("deciding", false) ? "  (deciding)" : "") << '\n';
    if (t.contains("lbg") && t["lbg"].is_object())
        os << "lbg      group " << t["lbg"].value("group", 0) << " hash "
           << kelfctl::hex(t["lbg"].value("hash", 0u)) << " bin " << t["lbg"].value("bin", 0)
           << '\n';
    os << "egress";
    if (t["egress"].empty()) os << "   none";
    os << '\n';
    for (const auto &e : t["egress"]) {
        os << "  port " << e.value("port", 0) << "  " << e.value("kind", "?");
        if (!e.value("source", Json(nullptr)).is_null()) os << " " << e["source"].get<int>();
        os << "  " << e.value("length", 0) << " bytes  " << hex_text(e.value("hex", ""), 24)
           << '\n';
    }
    if (t.value("dropped", false))
        os << "result   dropped: " << t.value("reason", Json("?")).get<std::string>() << '\n';
    else
        os << "result   forwarded to " << t["egress"].size() << " port"
           << (t["egress"].size() == 1 ? "" : "s") << '\n';
}

}  // namespace

std::vector<std::uint8_t> trace_request(int unit, int port,
                                        const std::vector<std::uint8_t> &frame) {
    Body b(fmsim::control::kTrace);
    b.put<std::int32_t>(unit).put<std::int32_t>(port).bytes(frame);
    return std::move(b.data());
}

int cmd_trace(Ctx &c, std::vector<std::string> &w) {
    int port = in_port(w);
    std::vector<std::uint8_t> frame = build_frame(w);
    Link link(c.socket, c.timeout);
    Json t = parse_json(link.call(trace_request(c.unit, port, frame)));
    if (!t.contains("egress") || !t["egress"].is_array() || !t.contains("rules") ||
        !t["rules"].is_array())
        refused("fmsim's trace lacks egress or rules");
    if (c.json)
        *c.out << c.dump(t) << '\n';
    else
        print_trace_text(*c.out, t);
    return kExitOk;
}

}  // namespace fmsimctl
