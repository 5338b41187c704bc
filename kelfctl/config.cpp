#include "config.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "batch.h"
#include "state.h"

namespace kelfctl {

// ---------------------------------------------------------------- the file

namespace {

// Operating configurations a file may set. fan-in (2) is not one of them:
// it adds redirect rules whose ids the switch chooses, which a file that
// names every rule by its id cannot hold.
struct CfgName {
    const char *name;
    int cfg;
};
constexpr CfgName kFileCfgs[] = {{"pairs", 1}, {"isolated", 5}, {"mesh", 6}};

}  // namespace

std::string cfg_word(int cfg) {
    for (const auto &c : kFileCfgs)
        if (c.cfg == cfg) return c.name;
    return cfg == 2 ? "fan-in" : std::to_string(cfg);
}

namespace {

struct HashField {
    const char *kw;
    std::uint64_t max;  // 0: on/off; (1<<48)-1: a MAC mask
};
constexpr std::uint64_t kMacMax = (std::uint64_t{1} << 48) - 1;
const HashField kL2Fields[] = {
    {"src-mac", kMacMax}, {"dst-mac", kMacMax},    {"ethertype", 0xFFFF}, {"vlan-id", 0xFFF},
    {"vlan2-id", 0xFFF},  {"vlan-priority", 0xF}, {"vlan2-priority", 0xF}, {"symmetric-mac", 0},
};
const HashField kL3Fields[] = {
    {"src-ip", 0xFFFFFFFF},   {"dst-ip", 0xFFFFFFFF},   {"src-port", 0xFFFFFFFF},
    {"dst-port", 0xFFFFFFFF}, {"dscp", 0x3F},           {"isl-user", 0xFFFFFFFF},
    {"protocol", 0xFFFFFFFF}, {"flow", 0xFFFFFFFF},     {"custom", 0xFFFFFFFF},
    {"symmetric-l3", 0},      {"symmetric-l4", 0},      {"random-next-hop", 0},
    {"random-other", 0},      {"random-only", 0},
};

std::uint64_t mac_value(const Mac &m) {
    std::uint64_t v = 0;
    for (auto b : m) v = v << 8 | b;
    return v;
}

void parse_hash(Args &a, const HashField *fields, std::size_t n, HashFields &out) {
    if (a.done()) usage("hash set needs a field to set");
    while (!a.done()) {
        std::string kw = a.next("hash field");
        if (kw == "profile")
            usage("hash set: profile cannot be kept in a file: kelfd reads back hash profile 0 only");
        const HashField *f = nullptr;
        for (std::size_t i = 0; i < n; ++i)
            if (kw == fields[i].kw) f = &fields[i];
        if (f == nullptr) usage("unknown hash field '" + kw + "'");
        std::uint64_t v;
        if (f->max == 0) {
            v = a.on_off(kw) ? 1 : 0;
        } else if (f->max == kMacMax) {
            std::string w = a.next(kw + " MAC");
            v = mac_value(value([&] { return parse_mac(w, kw); }));
        } else {
            v = static_cast<std::uint64_t>(a.number(kw + " MASK", 0, static_cast<std::int64_t>(f->max)));
        }
        if (out.count(kw)) usage("hash field " + kw + " given twice");
        out[kw] = v;
    }
}

bool is_name(const std::string &w) {
    if (w.empty() || !(std::isalpha(static_cast<unsigned char>(w[0])) || w[0] == '_')) return false;
    return std::all_of(w.begin(), w.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

std::string name_of(Args &a, const std::string &what) {
    std::string w = a.next(what + " NAME");
    if (!is_name(w))
        usage(what + ": '" + w + "' is not a name (a letter, then letters, digits, _ - or .): the switch "
              "chooses the numbers, so a file names these objects");
    return w;
}

struct Parser {
    Session &s;
    ConfigFile &f;
    int unit;
    std::map<int, std::set<int>> mask_lines;  // unit -> ports whose mask is set

    UnitConfig &u() { return f.units[unit]; }

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
        Args a({words.begin() + 2, words.end()});
        s.unit = unit;
        if (obj == "config" && cmd == "set") return config(a);
        if (obj == "mask" && cmd == "set") return mask(a);
        if (obj == "hash" && cmd == "set") return hash(a);
        if (obj == "port" && cmd == "set") return port(a);
        if (obj == "lbg" && cmd == "add") return lbg(a, n);
        if (obj == "mirror" && cmd == "add") return mirror(a, n);
        if (obj == "mirror" && cmd == "vlan") return mirror_vlan(a);
        if (obj == "mcast" && (cmd == "add" || cmd == "create")) return mcast(a, n);
        if (obj == "mcast" && cmd == "add-listener") return listener(a);
        if (obj == "rule" && cmd == "add") return rule(words, n);
        usage("'" + obj + " " + cmd +
              "' does not describe state a file keeps (config set, mask set, hash set, port set, lbg "
              "add, mirror add, mirror vlan, mcast add, mcast add-listener, rule add)");
    }

    void config(Args &a) {
        std::string w = a.next("CONFIG");
        a.finish();
        if (w == "fan-in" || w == "2")
            usage("config fan-in cannot be kept in a file: it adds rules whose ids the switch chooses; "
                  "write its masks with mask set and its rules with rule add instead");
        for (const auto &c : kFileCfgs)
            if (w == c.name || w == std::to_string(c.cfg)) {
                u().cfg = c.cfg;
                return;
            }
        usage("config: '" + w + "' is not a configuration (pairs, isolated, mesh, or 1, 5, 6)");
    }

    void mask(Args &a) {
        std::vector<int> in = s.ports(a, "PORTS", PortFamily::Mask);
        if (!a.accept("to")) usage("mask set needs PORTS to PORTS");
        std::vector<int> eg;
        if (!a.accept("none")) eg = s.ports(a, "egress PORTS", PortFamily::Mask);
        a.finish();
        std::sort(eg.begin(), eg.end());
        eg.erase(std::unique(eg.begin(), eg.end()), eg.end());
        for (int p : in) {
            if (!mask_lines[unit].insert(p).second)
                usage("the mask of port " + std::to_string(p) + " is set twice");
            u().masks[p] = eg;
        }
    }

    void hash(Args &a) {
        if (a.accept("l2")) parse_hash(a, kL2Fields, std::size(kL2Fields), u().l2);
        else if (a.accept("l3")) parse_hash(a, kL3Fields, std::size(kL3Fields), u().l3);
        else usage("hash set needs l2 or l3");
    }

    void port(Args &a) {
        std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
        PortProps props;
        while (!a.done()) {
            std::string kw = a.next("SETTING");
            std::int64_t v;
            if (kw == "parser") v = a.number("parser N", 2, INT32_MAX);
            else if (kw == "frame-update") v = a.u32("frame-update MASK");
            else if (kw == "ttl-update") v = a.on_off("ttl-update") ? 1 : 0;
            else if (kw == "loopback" || kw == "prbs" || kw == "vlans")
                usage("port set " + kw + " cannot be kept in a file: kelfd cannot read it back");
            else usage("unknown port setting '" + kw + "'");
            if (props.count(kw)) usage(kw + " given twice");
            props[kw] = v;
        }
        if (props.empty()) usage("port set needs a SETTING");
        for (int p : ports)
            for (const auto &[k, v] : props) {
                auto &pp = u().ports[p];
                if (pp.count(k) && pp[k] != v) usage("port " + std::to_string(p) + ": " + k + " set twice");
                pp[k] = v;
            }
    }

    void lbg(Args &a, int n) {
        std::string name = name_of(a, "lbg add");
        a.accept("ports");
        std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
        a.finish();
        if (ports.empty() || ports.size() > KEL_LBG_LIST_MAX) usage("lbg add takes 1 to 32 ports");
        if (u().lbgs.count(name))
            usage("load-balancing group " + name + " is added twice (line " +
                  std::to_string(u().lbgs[name].line) + ")");
        u().lbgs[name] = {ports, n};
    }

    void mirror(Args &a, int n) {
        int m = s.port(a, "MIRROR", PortFamily::Card);
        std::vector<int> ports;
        if (a.accept("ports")) ports = s.ports(a, "ports PORTS", PortFamily::Card);
        a.finish();
        std::sort(ports.begin(), ports.end());
        ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
        if (std::find(ports.begin(), ports.end(), m) != ports.end())
            usage("mirror " + std::to_string(m) + " cannot monitor its own port");
        if (ports.size() > KEL_REPLY_LIST_MAX)
            usage("a mirror in a file monitors at most 16 ports: kelfd reads back no more");
        if (u().mirrors.count(m) && u().mirrors[m].line != 0)
            usage("mirror " + std::to_string(m) + " is added twice (line " + std::to_string(u().mirrors[m].line) + ")");
        FileMirror &fm = u().mirrors[m];
        fm.ports = ports;
        fm.line = n;
    }

    void mirror_vlan(Args &a) {
        int m = s.port(a, "MIRROR", PortFamily::Card);
        int vlan = a.accept("none") ? 0 : static_cast<int>(a.number("VLAN", 1, 4095));
        a.finish();
        if (!u().mirrors.count(m) || u().mirrors[m].line == 0)
            usage("mirror vlan: mirror " + std::to_string(m) + " is not added above (mirror add " +
                  std::to_string(m) + ")");
        u().mirrors[m].vlan = vlan;
    }

    void mcast(Args &a, int n) {
        std::string name = name_of(a, "mcast add");
        a.finish();
        if (u().mcasts.count(name))
            usage("multicast group " + name + " is added twice (line " + std::to_string(u().mcasts[name].line) + ")");
        u().mcasts[name].line = n;
    }

    void listener(Args &a) {
        std::string name = name_of(a, "mcast add-listener");
        auto [port, vlan] = listener_words(s, a);
        if (!u().mcasts.count(name)) usage("multicast group " + name + " is not added above (mcast add " + name + ")");
        if (!u().mcasts[name].listeners.insert({port, vlan}).second)
            usage("port " + std::to_string(port) + " on VLAN " + std::to_string(vlan) + " is listed twice");
    }

    void rule(std::vector<std::string> words, int n) {
        // The file names load-balancing groups: `lbg NAME` becomes a
        // placeholder number that the plan resolves.
        std::string lbg;
        bool group = false, id = false;
        for (std::size_t i = 2; i < words.size(); ++i) {
            if (words[i] == "group") group = true;
            if (words[i] == "id") id = true;
            if (words[i] == "lbg" && i + 1 < words.size()) {
                if (!is_name(words[i + 1]))
                    usage("rule add lbg: name the group as the file's lbg add does, not by number ('" +
                          words[i + 1] + "')");
                lbg = words[i + 1];
                words[i + 1] = "0";
            }
        }
        if (!group || !id) usage("a rule in a file needs its group and id: rule add group G id N ...");
        Args a({words.begin() + 2, words.end()});
        RuleDef r = parse_rule(a);
        if (r.in_port != 0 && !port_in(PortFamily::RuleIn, r.in_port))
            bad_port("in-port PORT", r.in_port, unit, PortFamily::RuleIn);
        if (r.action == RuleDef::Action::Redirect && !port_in(PortFamily::Card, r.target))
            bad_port("redirect PORT", r.target, unit, PortFamily::Card);
        if (r.action == RuleDef::Action::Lbg && !u().lbgs.count(lbg))
            usage("rule add lbg " + lbg + ": no load-balancing group " + lbg + " is added above");
        if (r.action == RuleDef::Action::Mirror &&
            (!u().mirrors.count(r.target) || u().mirrors[r.target].line == 0))
            usage("rule add mirror " + std::to_string(r.target) + ": mirror " + std::to_string(r.target) +
                  " is not added above");
        std::vector<RuleDef> rules = expand_rule(r);
        // kelfd lists ids by their low 16 bits: larger ones could not be told apart.
        if (r.id + static_cast<std::int64_t>(rules.size()) - 1 > 0xFFFF)
            usage("id " + std::to_string(r.id) + ": a file's rule ids go up to 65535 (kelfd lists 16 bits)" +
                  (rules.size() > 1 ? "; this range takes " + std::to_string(rules.size()) + " ids" : ""));
        for (const RuleDef &x : rules) {
            auto key = std::make_pair(x.group, x.id);
            if (u().rules.count(key))
                usage("rule " + std::to_string(x.id) + " of group " + std::to_string(x.group) +
                      " is already given on line " + std::to_string(u().rules[key].line) +
                      (rules.size() > 1 ? " (this line's port range takes ids " + std::to_string(r.id) + " to " +
                                              std::to_string(r.id + static_cast<std::int64_t>(rules.size()) - 1) + ")"
                                        : ""));
            u().rules[key] = {x, lbg, n};
        }
    }
};

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
    if (!any && f.errors.empty()) f.units[default_unit];  // an empty file: the unit at its start state
    return f;
}

// ---------------------------------------------------------------- the record

namespace {

constexpr const char kRecordName[] = "kelfctl.applied";

std::string ports_text(const std::vector<int> &v) {
    std::string s;
    for (int p : v) s += (s.empty() ? "" : ",") + std::to_string(p);
    return s.empty() ? "none" : s;
}

std::vector<int> ports_from(const std::string &s) {
    std::vector<int> v;
    if (s == "none") return v;
    std::stringstream ss(s);
    std::string x;
    while (std::getline(ss, x, ',')) v.push_back(std::stoi(x));
    return v;
}

}  // namespace

AppliedRecord::AppliedRecord(std::string dir) : dir_(std::move(dir)) {
    if (dir_.empty()) {
        why_ = "no run directory is known";
        return;
    }
    path_ = dir_ + "/" + kRecordName;
    daemon_ = identity();
    if (daemon_.empty()) {
        why_ = "kelfd's process cannot be identified from " + dir_ + "/" KEL_PID_NAME;
        return;
    }
    valid_ = true;
    std::ifstream in(path_);
    std::string line;
    if (!std::getline(in, line)) return;
    if (line != "daemon " + daemon_) {
        why_ = "the record is of another kelfd process; this one holds nothing of it";
        return;
    }
    while (std::getline(in, line)) {
        // A line cut short by an interruption is the last one: stop there.
        if (!apply_line(line)) break;
    }
}

std::string AppliedRecord::identity() const {
    std::ifstream pf(dir_ + "/" KEL_PID_NAME);
    long pid = 0;
    if (!(pf >> pid) || pid <= 0) return "";
    // The start time (field 22 of /proc/PID/stat, after the command's
    // parenthesised name) tells a new process that reuses the pid apart.
    std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(st)), std::istreambuf_iterator<char>());
    std::size_t close = all.rfind(')');
    if (close == std::string::npos) return "";
    std::stringstream ss(all.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && ss >> field; ++i)
        if (i == 22) return std::to_string(pid) + " " + field;
    return "";
}

bool AppliedRecord::apply_line(const std::string &line) {
    std::stringstream ss(line);
    int unit;
    std::string kind;
    if (!(ss >> unit >> kind) || unit < 0 || unit >= KEL_MAX_UNITS) return false;
    UnitRecord &u = units[unit];
    try {
        if (kind == "lbg") {
            std::string name, ports;
            int n;
            if (!(ss >> name >> n >> ports)) return false;
            u.lbgs[name] = {n, ports_from(ports)};
        } else if (kind == "lbg-gone") {
            std::string name;
            ss >> name;
            u.lbgs.erase(name);
        } else if (kind == "mcast") {
            std::string name;
            int n;
            if (!(ss >> name >> n)) return false;
            u.mcasts[name] = {n, {}};
        } else if (kind == "listener") {
            std::string name;
            int p, v;
            if (!(ss >> name >> p >> v) || !u.mcasts.count(name)) return false;
            u.mcasts[name].second.insert({p, v});
        } else if (kind == "mcast-gone") {
            std::string name;
            ss >> name;
            u.mcasts.erase(name);
        } else if (kind == "mirror-vlan") {
            int m, v;
            if (!(ss >> m >> v)) return false;
            u.mirror_vlans[m] = v;
        } else if (kind == "mirror-gone") {
            int m;
            if (!(ss >> m)) return false;
            u.mirror_vlans.erase(m);
        } else if (kind == "rule") {
            std::string rest;
            std::getline(ss, rest);
            std::vector<std::string> w = split_line(rest);
            if (w.size() < 2 || w[0] != "rule" || w[1] != "add") return false;
            Args a({w.begin() + 2, w.end()});
            RuleDef r = parse_rule(a);
            u.rules[{r.group, r.id}] = r;
        } else if (kind == "rule-gone") {
            int g;
            std::int64_t id;
            if (!(ss >> g >> id)) return false;
            u.rules.erase({g, id});
        } else {
            return false;
        }
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

void AppliedRecord::append(const std::string &line) {
    if (!valid_) return;
    if (!out_.is_open()) {
        compact();
        if (!out_.is_open()) return;
    }
    out_ << line << '\n';
    out_.flush();
    if (!out_) throw Failure(kExitRefused, "cannot write the record " + path_);
}

void AppliedRecord::compact() {
    if (!valid_) return;
    out_.close();
    std::string tmp = path_ + ".tmp";
    {
        std::ofstream o(tmp, std::ios::trunc);
        o << "daemon " << daemon_ << '\n';
        for (const auto &[unit, u] : units) {
            std::string U = std::to_string(unit) + " ";
            for (const auto &[name, v] : u.lbgs)
                o << U << "lbg " << name << ' ' << v.first << ' ' << ports_text(v.second) << '\n';
            for (const auto &[name, v] : u.mcasts) {
                o << U << "mcast " << name << ' ' << v.first << '\n';
                for (const auto &[p, vl] : v.second) o << U << "listener " << name << ' ' << p << ' ' << vl << '\n';
            }
            for (const auto &[m, v] : u.mirror_vlans) o << U << "mirror-vlan " << m << ' ' << v << '\n';
            for (const auto &[k, r] : u.rules) o << U << "rule " << rule_command(r) << '\n';
        }
        o.flush();
        if (!o) throw Failure(kExitRefused, "cannot write the record " + tmp);
    }
    if (std::rename(tmp.c_str(), path_.c_str()) != 0)
        throw Failure(kExitRefused, "cannot write the record " + path_);
    why_.clear();
    out_.open(path_, std::ios::app);
}

// Each change is written, then kept in units as the record's reader would
// find it.
void AppliedRecord::lbg(int unit, const std::string &name, int number, const std::vector<int> &ports) {
    append(std::to_string(unit) + " lbg " + name + " " + std::to_string(number) + " " + ports_text(ports));
    units[unit].lbgs[name] = {number, ports};
}
void AppliedRecord::lbg_gone(int unit, const std::string &name) {
    append(std::to_string(unit) + " lbg-gone " + name);
    units[unit].lbgs.erase(name);
}
void AppliedRecord::mcast(int unit, const std::string &name, int number) {
    append(std::to_string(unit) + " mcast " + name + " " + std::to_string(number));
    units[unit].mcasts[name] = {number, {}};
}
void AppliedRecord::listener(int unit, const std::string &name, int port, int vlan) {
    append(std::to_string(unit) + " listener " + name + " " + std::to_string(port) + " " + std::to_string(vlan));
    units[unit].mcasts[name].second.insert({port, vlan});
}
void AppliedRecord::mcast_gone(int unit, const std::string &name) {
    append(std::to_string(unit) + " mcast-gone " + name);
    units[unit].mcasts.erase(name);
}
void AppliedRecord::mirror_vlan(int unit, int mirror, int vlan) {
    append(std::to_string(unit) + " mirror-vlan " + std::to_string(mirror) + " " + std::to_string(vlan));
    units[unit].mirror_vlans[mirror] = vlan;
}
void AppliedRecord::mirror_gone(int unit, int mirror) {
    append(std::to_string(unit) + " mirror-gone " + std::to_string(mirror));
    units[unit].mirror_vlans.erase(mirror);
}
void AppliedRecord::rule(int unit, const RuleDef &r) {
    append(std::to_string(unit) + " rule " + rule_command(r));
    units[unit].rules[{r.group, r.id}] = r;
}
void AppliedRecord::rule_gone(int unit, int group, std::int64_t id) {
    append(std::to_string(unit) + " rule-gone " + std::to_string(group) + " " + std::to_string(id));
    units[unit].rules.erase({group, id});
}

const char *op_name(Step::Op op) {
    switch (op) {
        case Step::Op::Create: return "create";
        case Step::Op::Change: return "change";
        case Step::Op::Remove: return "remove";
    }
    return "?";
}

}  // namespace kelfctl
