// A configuration file read whole: its lines go to the object families'
// readers, unit by unit, and every error is kept with its line.
#include <algorithm>
#include <cctype>

#include "batch.h"
#include "file_parts.h"

namespace kelfctl {

bool is_name(const std::string &w) {
    // kelfd keeps a name as a label of at most 63 bytes.
    if (w.empty() || w.size() >= KEL_X_LABEL_MAX ||
        !(std::isalpha(static_cast<unsigned char>(w[0])) || w[0] == '_'))
        return false;
    return std::all_of(w.begin(), w.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

std::string name_of(Args &a, const std::string &what) {
    std::string w = a.next(what + " NAME");
    if (!is_name(w))
        usage(what + ": '" + w +
              "' is not a name (a letter, then letters, digits, _ - or ., at most 63): the "
              "switch chooses the numbers, so a file names these objects");
    return w;
}

namespace {

// The lines a file may hold: an object and a command that describe state.
struct LineKind {
    const char *object, *command, *alias;
    void (*read)(FileUnit &, Args &, int);
};
constexpr LineKind kLines[] = {
    {"config", "set", nullptr, parse_config_line},
    {"mask", "set", nullptr, parse_mask_line},
    {"hash", "set", nullptr, parse_hash_line},
    {"port", "set", nullptr, parse_port_line},
    {"lbg", "add", nullptr, parse_lbg_line},
    {"mirror", "add", nullptr, parse_mirror_line},
    {"mirror", "vlan", nullptr, parse_mirror_vlan_line},
    {"mcast", "add", "create", parse_mcast_line},
    {"mcast", "add-listener", nullptr, parse_listener_line},
};

struct Parser {
    Session &s;
    ConfigFile &f;
    int unit;
    std::map<int, std::set<int>> mask_lines;  // unit -> ports whose mask is set

    void line(std::vector<std::string> words, int n) {
        if (words[0] == "unit") {
            Args a({words.begin() + 1, words.end()});
            unit = static_cast<int>(a.number("unit", 0, KEL_MAX_UNITS - 1));
            a.finish();
            f.units[unit];
            return;
        }
        if (words.size() < 2) usage("'" + words[0] + "' needs a command");
        std::string obj = words[0], cmd = words[1];
        s.unit = unit;
        FileUnit fu{s, f.units[unit], unit, mask_lines[unit]};
        if (obj == "rule" && cmd == "add") return parse_rule_line(fu, words, n);
        Args a({words.begin() + 2, words.end()});
        for (const LineKind &k : kLines)
            if (obj == k.object && (cmd == k.command || (k.alias != nullptr && cmd == k.alias)))
                return k.read(fu, a, n);
        usage(
            "'" + obj + " " + cmd +
            "' does not describe state a file keeps (config set, mask set, hash set, port set, lbg "
            "add, mirror add, mirror vlan, mcast add, mcast add-listener, rule add)");
    }
};

// What a unit can hold, checked over the whole file: an apply of a file
// that passes takes whole or not at all.
void check_capacity(ConfigFile &f) {
    for (const auto &[unit, u] : f.units) {
        std::map<int, std::vector<int>> lines;  // group -> lines of its rules
        std::map<int, int> pcie;                // PCI Express in-port -> first line
        for (const auto &[key, r] : u.rules) {
            lines[key.first].push_back(r.line);
            int p = r.def.in_port;
            if (p >= 41 && p <= KEL_MAX_PORTS && (!pcie.count(p) || r.line < pcie[p]))
                pcie[p] = r.line;
        }
        for (auto &[group, ls] : lines) {
            if (ls.size() <= KEL_MAX_RULES) continue;
            std::sort(ls.begin(), ls.end());
            f.errors.push_back(f.name + ":" + std::to_string(ls[KEL_MAX_RULES]) + ": unit " +
                               std::to_string(unit) + " group " + std::to_string(group) +
                               " would hold " + std::to_string(ls.size()) +
                               " rules (port ranges split); a group holds at most " +
                               std::to_string(KEL_MAX_RULES));
        }
        if (pcie.size() > 4) {
            std::vector<std::pair<int, int>> by_line;
            for (auto [p, l] : pcie) by_line.push_back({l, p});
            std::sort(by_line.begin(), by_line.end());
            std::string ports;
            for (auto [l, p] : by_line) ports += (ports.empty() ? "" : ", ") + std::to_string(p);
            f.errors.push_back(f.name + ":" + std::to_string(by_line[4].first) + ": unit " +
                               std::to_string(unit) + " rules match on " +
                               std::to_string(pcie.size()) + " PCI Express in-ports (" + ports +
                               "); a unit matches on at most 4");
        }
    }
}

}  // namespace

ConfigFile parse_config(Session &s, std::istream &in, const std::string &name, int default_unit) {
    ConfigFile f;
    f.name = name;
    Parser p{s, f, default_unit, {}};
    int saved = s.unit;
    std::string text;
    bool any = false;
    for (int n = 1; std::getline(in, text); ++n) {
        try {
            std::vector<std::string> words = split_line(text);
            if (words.empty()) continue;
            any = true;
            p.line(words, n);
        } catch (const Failure &e) {
            f.errors.push_back(name + ":" + std::to_string(n) + ": " + e.what());
        }
    }
    s.unit = saved;
    check_capacity(f);
    if (!any && f.errors.empty())
        f.units[default_unit];  // an empty file: the unit at its start state
    return f;
}

}  // namespace kelfctl
