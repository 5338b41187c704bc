// The record of what kelfctl applied to one kelfd process, kept beside its
// socket.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "batch.h"
#include "config.h"

namespace kelfctl {

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
                for (const auto &[p, vl] : v.second)
                    o << U << "listener " << name << ' ' << p << ' ' << vl << '\n';
            }
            for (const auto &[m, v] : u.mirror_vlans)
                o << U << "mirror-vlan " << m << ' ' << v << '\n';
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
void AppliedRecord::lbg(int unit, const std::string &name, int number,
                        const std::vector<int> &ports) {
    append(std::to_string(unit) + " lbg " + name + " " + std::to_string(number) + " " +
           ports_text(ports));
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
    append(std::to_string(unit) + " listener " + name + " " + std::to_string(port) + " " +
           std::to_string(vlan));
    units[unit].mcasts[name].second.insert({port, vlan});
}
void AppliedRecord::mcast_gone(int unit, const std::string &name) {
    append(std::to_string(unit) + " mcast-gone " + name);
    units[unit].mcasts.erase(name);
}
void AppliedRecord::mirror_vlan(int unit, int mirror, int vlan) {
    append(std::to_string(unit) + " mirror-vlan " + std::to_string(mirror) + " " +
           std::to_string(vlan));
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
        case Step::Op::Create:
            return "create";
        case Step::Op::Change:
            return "change";
        case Step::Op::Remove:
            return "remove";
    }
    return "?";
}

}  // namespace kelfctl
