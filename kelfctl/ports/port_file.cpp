// The config, mask and port objects in the configuration file: their
// lines, their part of the plan and of a saved file.
#include <algorithm>
#include <map>

#include "file_parts.h"
#include "ports.h"
#include "readback.h"

namespace kelfctl {
namespace {

// Operating configurations a file may set. fan-in (2) is not one of them:
// it adds redirect rules whose ids the switch chooses, which a file that
// names every rule by its id cannot hold.
struct CfgName {
    const char *name;
    int cfg;
};
constexpr CfgName kFileCfgs[] = {{"pairs", 1}, {"isolated", 5}, {"mesh", 6}};

int get_cfg(Session &s) {
    return s.value(read_config(s), "read the configuration of unit " + std::to_string(s.unit));
}

// A port's mask as an operating configuration leaves it, in the ports a
// mask read shows (1 to 47).
std::vector<int> baseline(int cfg, int p) {
    std::vector<int> v;
    if (cfg == 6)
        for (int q = 1; q <= kMaskPorts; ++q) v.push_back(q);
    if (cfg == 1) {
        int partner = p % 2 == 1 ? p + 1 : p - 1;
        if (partner <= kMaskPorts) v.push_back(partner);
    }
    return v;
}

std::optional<std::int64_t> read_prop(Session &s, const PortProperty &p, int port) {
    std::int32_t v = read_port_value(s, p.get, port);
    // frame-update is a bit mask: read as unsigned, -1 only means failure
    // for the other two.
    if (v < 0 && std::string_view(p.kw) != "frame-update") return std::nullopt;
    if (std::string_view(p.kw) == "frame-update") return static_cast<std::uint32_t>(v);
    return v;
}

// Every port's mask and file properties, read back in one request when
// kelfd can, else port by port.
struct PortsHeld {
    std::map<int, std::vector<int>> masks;  // 1 to 47
    std::map<int, PortProps> props;         // 1 to 48
};

PortsHeld ports_held(Session &s, bool masks, bool props) {
    PortsHeld h;
    if (auto held = read_back_ports(s)) {
        for (const kel_x_port_t &x : *held) {
            if (masks && x.port >= 1 && x.port <= kMaskPorts) {
                if (x.mask_ret != 0)
                    refused("cannot read the mask of port " + std::to_string(x.port) + " of unit " +
                            std::to_string(s.unit));
                std::vector<int> eg;
                for (int q = 1; q <= kMaskPorts; ++q)
                    if (x.egress[q / 8] & (1u << (q % 8))) eg.push_back(q);
                h.masks[x.port] = eg;
            }
            if (props && x.port >= 1 && x.port <= KEL_MAX_PORTS) {
                PortProps &pp = h.props[x.port];
                if (x.parser >= 0) pp["parser"] = x.parser;
                if (x.frame_update >= 0) pp["frame-update"] = x.frame_update;
                if (x.ttl_update >= 0) pp["ttl-update"] = x.ttl_update;
            }
        }
        return h;
    }
    if (masks)
        for (int q = 1; q <= kMaskPorts; ++q) h.masks[q] = read_mask(s, q);
    if (props)
        for (int q = 1; q <= KEL_MAX_PORTS; ++q)
            for (const PortProperty &x : kFileProperties)
                if (auto v = read_prop(s, x, q)) h.props[q][x.kw] = *v;
    return h;
}

// What kelfd's bring-up leaves on every port; a saved file names only what
// differs.
const PortProps &start_props() {
    static const PortProps p = {{"parser", kParserDeepest}, {"frame-update", 0}, {"ttl-update", 1}};
    return p;
}

std::string prop_text(const std::string &kw, std::int64_t v) {
    if (kw == "ttl-update") return v != 0 ? "on" : "off";
    if (kw == "frame-update") return hex(static_cast<std::uint64_t>(v));
    return std::to_string(v);
}

}  // namespace

std::string cfg_word(int cfg) {
    for (const auto &c : kFileCfgs)
        if (c.cfg == cfg) return c.name;
    return cfg == 2 ? "fan-in" : std::to_string(cfg);
}

void parse_config_line(FileUnit &f, Args &a, int) {
    std::string w = a.next("CONFIG");
    a.finish();
    if (w == "fan-in" || w == "2")
        usage(
            "config fan-in cannot be kept in a file: it adds rules whose ids the switch chooses; "
            "write its masks with mask set and its rules with rule add instead");
    for (const auto &c : kFileCfgs)
        if (w == c.name || w == std::to_string(c.cfg)) {
            f.u.cfg = c.cfg;
            return;
        }
    usage("config: '" + w + "' is not a configuration (pairs, isolated, mesh, or 1, 5, 6)");
}

void parse_mask_line(FileUnit &f, Args &a, int) {
    std::vector<int> in = f.s.ports(a, "PORTS", PortFamily::Mask);
    if (!a.accept("to")) usage("mask set needs PORTS to PORTS");
    std::vector<int> eg;
    if (!a.accept("none")) eg = f.s.ports(a, "egress PORTS", PortFamily::Mask);
    a.finish();
    std::sort(eg.begin(), eg.end());
    eg.erase(std::unique(eg.begin(), eg.end()), eg.end());
    for (int p : in) {
        if (!f.mask_lines.insert(p).second)
            usage("the mask of port " + std::to_string(p) + " is set twice");
        f.u.masks[p] = eg;
    }
}

void parse_port_line(FileUnit &f, Args &a, int) {
    std::vector<int> ports = f.s.ports(a, "PORTS", PortFamily::Card);
    PortProps props;
    while (!a.done()) {
        std::string kw = a.next("SETTING");
        std::int64_t v;
        if (kw == "parser" || kw == "frame-update")
            v = property_value(a, kw);
        else if (kw == "ttl-update")
            v = a.on_off("ttl-update") ? 1 : 0;
        else if (kw == "loopback" || kw == "prbs" || kw == "vlans")
            usage("port set " + kw + " cannot be kept in a file: kelfd cannot read it back");
        else
            usage("unknown port setting '" + kw + "'");
        if (props.count(kw)) usage(kw + " given twice");
        props[kw] = v;
    }
    if (props.empty()) usage("port set needs a SETTING");
    for (int p : ports)
        for (const auto &[k, v] : props) {
            auto &pp = f.u.ports[p];
            if (pp.count(k) && pp[k] != v)
                usage("port " + std::to_string(p) + ": " + k + " set twice");
            pp[k] = v;
        }
}

void plan_config_masks(UnitPlan &p) {
    Session &s = p.s;
    const UnitConfig &want = p.want;
    int cfg = get_cfg(s);
    std::map<int, std::vector<int>> masks;
    masks = ports_held(s, true, false).masks;
    bool reset = cfg != want.cfg;
    for (int q = 1; q <= kMaskPorts && !reset; ++q)
        if (!want.masks.count(q) && masks[q] != baseline(want.cfg, q)) reset = true;
    std::map<std::vector<int>, std::vector<int>> mask_sets;  // egress -> ports
    for (const auto &[q, eg] : want.masks) {
        const std::vector<int> &from = reset ? baseline(want.cfg, q) : masks[q];
        if (from != eg)
            mask_sets[eg].push_back(q);
        else if (!reset)
            ++p.plan.unchanged;
    }
    if (reset) {
        std::string name = cfg_word(want.cfg);
        int c = want.cfg;
        p.step(p.cfgmask, Step::Op::Change, "config",
               cfg != want.cfg ? "config set " + name + " (unit has " + cfg_word(cfg) + ")"
                               : "config set " + name + " (masks of other ports differ from it)",
               [c, name](Session &ss) {
                   ss.value(send_config(ss, c), "apply configuration " + name);
                   return 1;
               });
    } else {
        ++p.plan.unchanged;
    }
    for (const auto &ms : mask_sets) {
        const std::vector<int> &eg = ms.first, &ports = ms.second;
        p.step(p.cfgmask, Step::Op::Change, "mask",
               "mask set " + format_port_list(ports) + " to " + format_port_list(eg),
               [eg, ports](Session &ss) {
                   ss.value(send_masks(ss, ports, eg),
                            "set the masks of ports " + format_port_list(ports));
                   return 1;
               });
    }
}

void plan_port_properties(UnitPlan &p) {
    std::map<PortProps, std::vector<int>> prop_sets;
    const PortsHeld held = ports_held(p.s, false, true);
    // The file is the whole state: a property it does not name is as
    // kelfd's bring-up leaves it.
    for (int port = 1; port <= KEL_MAX_PORTS; ++port) {
        const auto named = p.want.ports.find(port);
        PortProps want = start_props();
        if (named != p.want.ports.end())
            for (const auto &[k, v] : named->second) want[k] = v;
        PortProps diff;
        for (const PortProperty &pp : kFileProperties) {
            auto it = want.find(pp.kw);
            if (it == want.end()) continue;
            std::optional<std::int64_t> have;
            if (held.props.count(port) && held.props.at(port).count(pp.kw))
                have = held.props.at(port).at(pp.kw);
            if (!have) {
                // What cannot be read is set only when the file names it.
                if (named != p.want.ports.end() && named->second.count(pp.kw))
                    diff[pp.kw] = it->second;
                continue;
            }
            if (*have != it->second) diff[pp.kw] = it->second;
        }
        if (diff.empty()) {
            if (named != p.want.ports.end()) ++p.plan.unchanged;
        } else {
            prop_sets[diff].push_back(port);
        }
    }
    for (const auto &pe : prop_sets) {
        const PortProps &diff = pe.first;
        const std::vector<int> &ports = pe.second;
        std::string text = "port set " + format_port_list(ports);
        for (const auto &[k, v] : diff) text += " " + k + " " + prop_text(k, v);
        p.step(p.tail, Step::Op::Change, "port", text, [diff, ports](Session &ss) {
            int n = 0;
            for (int q : ports)
                for (const PortProperty &pp : kFileProperties) {
                    auto it = diff.find(pp.kw);
                    if (it == diff.end()) continue;
                    PortSetting ps = property_setting(pp, it->second);
                    ss.value(send_port_setting(ss, ps, q),
                             ps.what + " of port " + std::to_string(q));
                    ++n;
                }
            return n;
        });
    }
}

void save_config_masks(UnitSave &u) {
    Session &s = u.s;
    int cfg = get_cfg(s);
    bool cfg_ok = cfg == 1 || cfg == 5 || cfg == 6;
    if (cfg_ok)
        u.text += "config set " + cfg_word(cfg) + "\n";
    else
        u.missing.push_back(u.unit_prefix + "operating configuration " + cfg_word(cfg) +
                            (cfg == 2 ? ": fan-in adds rules whose ids the switch chooses"
                                      : ": not one kelfctl knows"));
    std::map<std::vector<int>, std::vector<int>> masks;
    const PortsHeld held = ports_held(s, true, false);
    for (int q = 1; q <= kMaskPorts; ++q) {
        const std::vector<int> &eg = held.masks.at(q);
        if (!cfg_ok || eg != baseline(cfg, q)) masks[eg].push_back(q);
    }
    for (const auto &[eg, ports] : masks)
        u.text += "mask set " + format_port_list(ports) + " to " + format_port_list(eg) + "\n";
}

void save_port_properties(UnitSave &u) {
    std::map<PortProps, std::vector<int>> props;
    const PortsHeld held = ports_held(u.s, false, true);
    for (int q = 1; q <= KEL_MAX_PORTS; ++q) {
        PortProps pp;
        if (held.props.count(q))
            for (const auto &[kw, v] : held.props.at(q))
                if (!start_props().count(kw) || start_props().at(kw) != v) pp[kw] = v;
        if (!pp.empty()) props[pp].push_back(q);
    }
    for (const auto &[pp, ports] : props) {
        u.text += "port set " + format_port_list(ports);
        for (const PortProperty &x : kFileProperties)
            if (pp.count(x.kw))
                u.text += std::string(" ") + x.kw + " " + prop_text(x.kw, pp.at(x.kw));
        u.text += "\n";
    }
}

}  // namespace kelfctl
