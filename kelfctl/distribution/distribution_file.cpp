// The lbg, mirror and mcast objects in the configuration file: their
// lines, their part of the plan and of a saved file.
#include <algorithm>
#include <iterator>

#include "distribution.h"
#include "file_parts.h"

namespace kelfctl {

bool mcast_exists(Session &s, int group) {
    return read_mcast_port(s, group) >= 0;
}

std::optional<std::vector<int>> mirror_ports_sorted(Session &s, int mirror) {
    kel_lbg_query_list_t q = read_mirror_ports(s, mirror);
    if (q.ret != 0 && q.kel_lbg_list.lbg_num < 0)
        refused("cannot read the monitored ports of mirror " + std::to_string(mirror) +
                " of unit " + std::to_string(s.unit) +
                ": the switch failed the walk (kelfd's output says why)");
    if (q.ret != 0) return std::vector<int>{};  // a mirror without monitored ports
    int n = std::max(int{q.kel_lbg_list.lbg_num}, 0);
    if (n > KEL_REPLY_LIST_MAX) return std::nullopt;  // more than kelfd reports
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(q.kel_lbg_list.lbg_list[i]);
    std::sort(v.begin(), v.end());
    return v;
}

void parse_lbg_line(FileUnit &f, Args &a, int n) {
    std::string name = name_of(a, "lbg add");
    a.accept("ports");
    std::vector<int> ports = f.s.ports(a, "PORTS", PortFamily::Card);
    a.finish();
    if (ports.empty() || ports.size() > KEL_LBG_LIST_MAX) usage("lbg add takes 1 to 32 ports");
    if (f.u.lbgs.count(name))
        usage("load-balancing group " + name + " is added twice (line " +
              std::to_string(f.u.lbgs[name].line) + ")");
    f.u.lbgs[name] = {ports, n};
}

void parse_mirror_line(FileUnit &f, Args &a, int n) {
    int m = f.s.port(a, "MIRROR", PortFamily::Card);
    std::vector<int> ports;
    if (a.accept("ports")) ports = f.s.ports(a, "ports PORTS", PortFamily::Card);
    a.finish();
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    if (std::find(ports.begin(), ports.end(), m) != ports.end())
        usage("mirror " + std::to_string(m) + " cannot monitor its own port");
    if (ports.size() > KEL_LBG_LIST_MAX)
        usage("a mirror in a file monitors at most 32 ports, as mirror add takes them");
    if (f.u.mirrors.count(m) && f.u.mirrors[m].line != 0)
        usage("mirror " + std::to_string(m) + " is added twice (line " +
              std::to_string(f.u.mirrors[m].line) + ")");
    FileMirror &fm = f.u.mirrors[m];
    fm.ports = ports;
    fm.line = n;
}

void parse_mirror_vlan_line(FileUnit &f, Args &a, int) {
    int m = f.s.port(a, "MIRROR", PortFamily::Card);
    int vlan = a.accept("none") ? 0 : static_cast<int>(a.number("VLAN", 1, 4095));
    a.finish();
    if (!f.u.mirrors.count(m) || f.u.mirrors[m].line == 0)
        usage("mirror vlan: mirror " + std::to_string(m) + " is not added above (mirror add " +
              std::to_string(m) + ")");
    f.u.mirrors[m].vlan = vlan;
}

void parse_mcast_line(FileUnit &f, Args &a, int n) {
    std::string name = name_of(a, "mcast add");
    a.finish();
    if (f.u.mcasts.count(name))
        usage("multicast group " + name + " is added twice (line " +
              std::to_string(f.u.mcasts[name].line) + ")");
    f.u.mcasts[name].line = n;
}

void parse_listener_line(FileUnit &f, Args &a, int) {
    std::string name = name_of(a, "mcast add-listener");
    auto [port, vlan] = listener_words(f.s, a);
    if (!f.u.mcasts.count(name))
        usage("multicast group " + name + " is not added above (mcast add " + name + ")");
    if (!f.u.mcasts[name].listeners.insert({port, vlan}).second)
        usage("port " + std::to_string(port) + " on VLAN " + std::to_string(vlan) +
              " is listed twice");
}

void plan_mirrors(UnitPlan &up) {
    forget_mirrors(up.s);
    Listed ml;
    if (up.rec.valid())
        for (const auto &[m, v] : up.r.mirror_vlans) ml.numbers.push_back(m);
    else
        ml = mirror_numbers(up.s);
    for (const auto &me : up.want.mirrors) {
        int m = me.first;
        const FileMirror &fm = me.second;
        bool exists = std::find(ml.numbers.begin(), ml.numbers.end(), m) != ml.numbers.end();
        std::string vtext =
            fm.vlan != 0 ? "; mirror vlan " + std::to_string(m) + " " + std::to_string(fm.vlan)
                         : "";
        if (!exists) {
            int vlan = fm.vlan;
            std::vector<int> ports = fm.ports;
            up.step(up.mirrors, Step::Op::Create, "mirror",
                    "mirror add " + std::to_string(m) +
                        (ports.empty() ? "" : " ports " + format_port_list(ports)) + vtext,
                    [m, ports, vlan, &rec = up.rec, unit = up.unit](Session &ss) {
                        ss.value(send_mirror_add(ss, m, ports),
                                 "create mirror " + std::to_string(m));
                        if (vlan != 0)
                            ss.value(send_mirror_vlan(ss, m, vlan),
                                     "set the VLAN of mirror " + std::to_string(m));
                        rec.mirror_vlan(unit, m, vlan);
                        return vlan != 0 ? 2 : 1;
                    });
            continue;
        }
        std::optional<std::vector<int>> have =
            up.rec.valid() ? std::optional<std::vector<int>>(up.r.mirror_ports[m])
                           : mirror_ports_sorted(up.s, m);
        std::vector<int> add, del;
        if (have) {
            for (int p : fm.ports)
                if (!std::count(have->begin(), have->end(), p)) add.push_back(p);
            for (int p : *have)
                if (!std::count(fm.ports.begin(), fm.ports.end(), p)) del.push_back(p);
        } else {
            // More ports than kelfd lists: start the list again.
            for (int p = 1; p <= KEL_MAX_PORTS; ++p)
                if (p != m && !std::count(fm.ports.begin(), fm.ports.end(), p)) del.push_back(p);
            add = fm.ports;
        }
        bool vlan_known = up.r.mirror_vlans.count(m) && up.r.mirror_vlans.at(m) == fm.vlan;
        if (add.empty() && del.empty() && vlan_known) {
            ++up.plan.unchanged;
            continue;
        }
        std::string text = "mirror " + std::to_string(m) + ":";
        if (!add.empty()) text += " add-port " + format_port_list(add);
        if (!del.empty()) text += " delete-port " + format_port_list(del);
        if (!vlan_known)
            text += " vlan " + (fm.vlan != 0 ? std::to_string(fm.vlan) : std::string("none")) +
                    (up.r.mirror_vlans.count(m) ? "" : " (its VLAN is not known)");
        int vlan = fm.vlan;
        bool lenient = !have;
        up.step(
            up.mirrors, Step::Op::Change, "mirror", text,
            [m, add, del, vlan, vlan_known, lenient, &rec = up.rec, unit = up.unit](Session &ss) {
                int n = 0;
                for (int p : add) {
                    ss.value(send_mirror_port(ss, KEL_MIR_PORT_ADD, m, p),
                             "add port " + std::to_string(p) + " to mirror " + std::to_string(m));
                    ++n;
                }
                for (int p : del) {
                    std::int32_t st = send_mirror_port(ss, KEL_MIR_PORT_REMOVE, m, p);
                    if (!lenient)
                        ss.value(st, "remove port " + std::to_string(p) + " from mirror " +
                                         std::to_string(m));
                    ++n;
                }
                if (!vlan_known) {
                    ss.value(send_mirror_vlan(ss, m, vlan),
                             "set the VLAN of mirror " + std::to_string(m));
                    rec.mirror_vlan(unit, m, vlan);
                    ++n;
                }
                return n;
            });
    }
    for (int m : ml.numbers) {
        if (up.want.mirrors.count(m)) continue;
        up.step(up.mirror_rm, Step::Op::Remove, "mirror", "mirror delete " + std::to_string(m),
                [m, &rec = up.rec, unit = up.unit](Session &ss) {
                    ss.value(send_mirror_remove(ss, m), "delete mirror " + std::to_string(m));
                    rec.mirror_gone(unit, m);
                    return 1;
                });
    }
}

void plan_lbgs(UnitPlan &up) {
    // group is a new group; the rules that use it move to the new number.
    forget_lbgs(up.s);
    Listed ll;
    if (up.rec.valid())
        for (const auto &[name, v] : up.r.lbgs) ll.numbers.push_back(v.first);
    else
        ll = lbg_numbers(up.s);
    auto numbers = up.lbg_numbers;
    std::set<int> keep;
    std::map<int, std::string> name_of_number;
    for (const auto &[name, v] : up.r.lbgs) name_of_number[v.first] = name;
    for (const auto &le : up.want.lbgs) {
        const std::string &name = le.first;
        const FileLbg &fl = le.second;
        auto it = up.r.lbgs.find(name);
        bool listed =
            it != up.r.lbgs.end() &&
            (std::count(ll.numbers.begin(), ll.numbers.end(), it->second.first) || !ll.whole);
        if (listed && (up.rec.valid() ? lbg_share(fl.ports) == it->second.second
                                      : it->second.second == fl.ports)) {
            (*numbers)[name] = it->second.first;
            keep.insert(it->second.first);
            ++up.plan.unchanged;
            continue;
        }
        std::vector<int> ports = fl.ports;
        std::string n = name;
        up.step(up.lbgs, listed ? Step::Op::Change : Step::Op::Create, "lbg",
                "lbg add " + name + " ports " + format_port_list(ports, false) +
                    (listed ? " (a new group in place of " + std::to_string(it->second.first) +
                                  ", ports " + format_port_list(it->second.second, false) + ")"
                            : ""),
                [n, ports, numbers, &rec = up.rec, unit = up.unit](Session &ss) {
                    int num = ss.value(send_lbg_add(ss, ports), "create load-balancing group " + n);
                    (*numbers)[n] = num;
                    rec.lbg(unit, n, num, ports);
                    return 1;
                });
    }
    for (int num : ll.numbers) {
        if (keep.count(num)) continue;
        std::string name = name_of_number.count(num) ? name_of_number[num] : "";
        bool replaced = !name.empty() && up.want.lbgs.count(name);
        up.step(up.lbg_rm, Step::Op::Remove, "lbg",
                "lbg delete " + std::to_string(num) +
                    (name.empty() ? "" : " (" + name + (replaced ? ", replaced" : "") + ")"),
                [num, name, replaced, numbers, &rec = up.rec, unit = up.unit](Session &ss) {
                    ss.value(send_lbg_remove(ss, num),
                             "delete load-balancing group " + std::to_string(num));
                    if (!name.empty() && !replaced) rec.lbg_gone(unit, name);
                    return 1;
                });
    }
}

void plan_mcasts(UnitPlan &up) {
    for (const auto &ce : up.want.mcasts) {
        const std::string &name = ce.first;
        const FileMcast &fm = ce.second;
        auto it = up.r.mcasts.find(name);
        bool exists =
            it != up.r.mcasts.end() && (up.rec.valid() || mcast_exists(up.s, it->second.first));
        auto listeners = fm.listeners;
        std::string n = name;
        auto ports = up.mcast_ports;
        // A group that stays keeps its port; a replaced one's rules wait for
        // the new group's.
        auto keep_port = [&] {
            if (up.r.mcast_ports.count(name)) (*ports)[name] = up.r.mcast_ports.at(name);
        };
        if (exists && it->second.second == fm.listeners) {
            keep_port();
            ++up.plan.unchanged;
            continue;
        }
        if (exists && std::includes(fm.listeners.begin(), fm.listeners.end(),
                                    it->second.second.begin(), it->second.second.end())) {
            keep_port();
            std::set<std::pair<int, int>> add;
            std::set_difference(fm.listeners.begin(), fm.listeners.end(), it->second.second.begin(),
                                it->second.second.end(), std::inserter(add, add.end()));
            int g = it->second.first;
            std::string text = "mcast " + name + ":";
            for (auto [p, v] : add)
                text += " add-listener port " + std::to_string(p) + " vlan " + std::to_string(v);
            up.step(up.mcasts, Step::Op::Change, "mcast", text,
                    [n, g, add, &rec = up.rec, unit = up.unit](Session &ss) {
                        for (auto [p, v] : add) {
                            ss.value(send_mcast_listener(ss, g, p, v),
                                     "add a listener to multicast group " + n);
                            rec.listener(unit, n, p, v);
                        }
                        return static_cast<int>(add.size());
                    });
            continue;
        }
        std::string text = "mcast add " + name;
        for (auto [p, v] : listeners)
            text += "; add-listener port " + std::to_string(p) + " vlan " + std::to_string(v);
        if (exists)
            text += " (a new group in place of " + std::to_string(it->second.first) +
                    ": listeners cannot be removed)";
        up.step(up.mcasts, exists ? Step::Op::Change : Step::Op::Create, "mcast", text,
                [n, listeners, ports, &rec = up.rec, unit = up.unit](Session &ss) {
                    int g = ss.value(send_mcast_create(ss), "create multicast group " + n);
                    rec.mcast(unit, n, g);
                    (*ports)[n] =
                        ss.value(read_mcast_port(ss, g), "read the port of multicast group " + n);
                    for (auto [p, v] : listeners) {
                        ss.value(send_mcast_listener(ss, g, p, v),
                                 "add a listener to multicast group " + n);
                        rec.listener(unit, n, p, v);
                    }
                    return 1 + static_cast<int>(listeners.size());
                });
        if (exists) {
            int g = it->second.first;
            up.step(up.mcast_rm, Step::Op::Remove, "mcast",
                    "mcast delete " + std::to_string(g) + " (" + name + ", replaced)",
                    [g](Session &ss) {
                        ss.value(send_mcast_remove(ss, g),
                                 "delete multicast group " + std::to_string(g));
                        return 1;
                    });
        }
    }
    for (const auto &ce : up.r.mcasts) {
        const std::string &name = ce.first;
        const auto &v = ce.second;
        if (up.want.mcasts.count(name) || (!up.rec.valid() && !mcast_exists(up.s, v.first)))
            continue;
        int g = v.first;
        std::string n = name;
        up.step(up.mcast_rm, Step::Op::Remove, "mcast",
                "mcast delete " + std::to_string(g) + " (" + name + ")",
                [g, n, &rec = up.rec, unit = up.unit](Session &ss) {
                    ss.value(send_mcast_remove(ss, g),
                             "delete multicast group " + std::to_string(g));
                    rec.mcast_gone(unit, n);
                    return 1;
                });
    }
}
void save_mirrors(UnitSave &u) {
    Session &s = u.s;
    forget_mirrors(s);
    Listed ml;
    if (u.valid)
        for (const auto &[m, v] : u.r.mirror_vlans) ml.numbers.push_back(m);
    else
        ml = mirror_numbers(s);
    if (!ml.whole) u.missing.push_back(u.unit_prefix + "mirrors past the 16 kelfd lists");
    for (int m : ml.numbers) {
        auto ports = u.valid ? std::optional<std::vector<int>>(u.r.mirror_ports.at(m))
                             : mirror_ports_sorted(s, m);
        if (!ports) {
            u.missing.push_back(u.unit_prefix + "mirror " + std::to_string(m) +
                                ": more monitored ports than the 16 kelfd lists");
            continue;
        }
        if (ports->size() > KEL_LBG_LIST_MAX) {
            u.missing.push_back(u.unit_prefix + "mirror " + std::to_string(m) + ": it monitors " +
                                std::to_string(ports->size()) +
                                " ports, more than a file's mirror add takes (32)");
            continue;
        }
        if (!u.r.mirror_vlans.count(m)) {
            u.missing.push_back(u.unit_prefix + "mirror " + std::to_string(m) +
                                ": this kelfd does not report its VLAN");
            continue;
        }
        u.mirrors.insert(m);
        u.text += "mirror add " + std::to_string(m) +
                  (ports->empty() ? "" : " ports " + format_port_list(*ports)) + "\n";
        if (u.r.mirror_vlans.at(m) != 0)
            u.text += "mirror vlan " + std::to_string(m) + " " +
                      std::to_string(u.r.mirror_vlans.at(m)) + "\n";
    }
}

void save_lbgs(UnitSave &u) {
    if (!u.valid) {
        forget_lbgs(u.s);
        for (int n : lbg_numbers(u.s).numbers)
            u.missing.push_back(u.unit_prefix + "load-balancing group " + std::to_string(n) +
                                ": this kelfd does not report its ports");
        return;
    }
    // In the order of their numbers, as kelfd made them.
    std::map<int, std::string> by_number;
    for (const auto &[name, v] : u.r.lbgs) by_number[v.first] = name;
    for (const auto &[n, name] : by_number) {
        const std::vector<int> &ports = u.r.lbgs.at(name).second;
        if (ports.empty()) {
            u.missing.push_back(u.unit_prefix + "load-balancing group " + std::to_string(n) +
                                ": kelfd could not read its bins, or no list of ports gives them");
            continue;
        }
        u.lbg_name[n] = name;
        u.text += "lbg add " + name + " ports " + format_port_list(ports, false) + "\n";
    }
}

void save_mcasts(UnitSave &u) {
    std::map<int, std::string> by_number;
    for (const auto &[name, v] : u.r.mcasts) by_number[v.first] = name;
    for (const auto &[n, name] : by_number) {
        if (!u.valid && !mcast_exists(u.s, n)) continue;
        u.mcast_name[u.r.mcast_ports.count(name) ? u.r.mcast_ports.at(name) : -1] = name;
        u.text += "mcast add " + name + "\n";
        for (auto [p, vl] : u.r.mcasts.at(name).second)
            u.text += "mcast add-listener " + name + " port " + std::to_string(p) + " vlan " +
                      std::to_string(vl) + "\n";
    }
}

}  // namespace kelfctl
