// The lbg, mirror and mcast objects: their grammar and commands.
#include <algorithm>

#include "distribution.h"
#include "file_parts.h"
#include "objects.h"
#include "rule_ops.h"

namespace kelfctl {
namespace {

const char kLbgHelp[] = R"(Usage: kelfctl lbg add [NAME] [ports] PORTS
       kelfctl lbg delete LBG
       kelfctl lbg list
       kelfctl lbg show [LBG]
       kelfctl lbg help

PORTS := LIST like 1-4,7, at most 32 ports

add creates a load-balancing group that spreads traffic evenly over the
ports (a port listed twice gets a double share) and prints its number;
NAME becomes its label in kelfd, and LBG is its number or name. Rules send
traffic to it with `rule add lbg LBG`. A group's ports cannot change:
delete it and add a new one. list prints the unit's groups with their names
and ports; `lbg` alone lists, as does show without LBG. show LBG prints the
group and the rules that send traffic to it.
)";

const char kMirrorHelp[] = R"(Usage: kelfctl mirror add MIRROR [ports PORTS]
       kelfctl mirror delete MIRROR
       kelfctl mirror add-port MIRROR PORTS
       kelfctl mirror delete-port MIRROR PORTS
       kelfctl mirror vlan MIRROR { VLAN | none }
       kelfctl mirror list
       kelfctl mirror show [MIRROR]
       kelfctl mirror help

A mirror copies the frames received on its monitored ports to its mirror
port, which is the mirror's number: mirror 10 copies to port 10. add creates
the mirror (or extends an existing one) with the given ports; add-port and
delete-port change them one port at a time; vlan sets the VLAN of the copies.
Rules mirror matching frames with `rule add mirror MIRROR`.
list prints every mirror with its ports and VLAN; `mirror` alone lists, as
does show without MIRROR. show MIRROR prints its mirror port, monitored
ports, VLAN and the rules that mirror to it.
)";

const char kMcastHelp[] = R"(Usage: kelfctl mcast add [NAME]
       kelfctl mcast list
       kelfctl mcast delete GROUP
       kelfctl mcast show GROUP
       kelfctl mcast add-listener GROUP port PORT vlan VLAN
       kelfctl mcast help

add makes an active multicast group for L3 switching and prints its
number (create, the older word, does the same); NAME becomes its label in
kelfd, and GROUP is its number or name. list (and `mcast` alone) prints
every group with its name, logical port and listeners; show GROUP one of
them and the rules that redirect to it (`rule add redirect mcast NAME`);
add-listener adds a port (1 to 48) on a VLAN to the group's listeners.
)";

constexpr int kListMax = KEL_LBG_LIST_MAX;

// Numbers of a list reply, no more than it can hold or than were sent.
std::vector<int> list_of(const kel_lbg_list_t &l, int cap) {
    int n = std::min(std::max(int{l.lbg_num}, 0), cap);
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(l.lbg_list[i]);  // packed: element by element
    return v;
}

// An optional NAME before the numbers (a file's `lbg add NAME ports ...`
// and `mcast add NAME` read as commands too).
std::string optional_name(Session &s, Args &a, const char *kind,
                          std::optional<std::vector<HeldLbg>> (*lbgs)(Session &),
                          std::optional<std::vector<HeldMcast>> (*mcasts)(Session &)) {
    std::string w(a.peek());
    if (w.empty() || (w[0] >= '0' && w[0] <= '9') || w == "ports") return "";
    std::string name = a.next("NAME");
    if (!is_name(name))
        usage(std::string(kind) + " name '" + name +
              "': a letter, then letters, digits, _ - or ., at most 63");
    // A name in use, or the one a group without a name goes by.
    bool taken = false;
    if (lbgs)
        if (auto held = lbgs(s))
            for (const auto &x : *held)
                taken = taken || x.name == name || name == default_name("lbg", x.number);
    if (mcasts)
        if (auto held = mcasts(s))
            for (const auto &x : *held)
                taken = taken || x.name == name || name == default_name("mcast", x.number);
    if (taken)
        refused("unit " + std::to_string(s.unit) + " has a " + kind + " named '" + name +
                "' already");
    return name;
}

void lbg_add(Session &s, Args &a) {
    std::string name = optional_name(s, a, "load-balancing group", read_back_lbgs, nullptr);
    a.accept("ports");
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
    a.finish();
    if (ports.empty() || ports.size() > kListMax) usage("lbg add takes 1 to 32 ports");
    int n = s.value(send_lbg_add(s, ports),
                    "create a load-balancing group over ports " + format_port_list(ports, false));
    if (!name.empty() && !send_label(s, KEL_X_LABEL_LBG, n, 0, name))
        s.err() << "kelfctl: warning: this kelfd keeps no names; group " << n << " has none\n";
    s.print(print_lbg_added(n));
}

// Refuses to delete what rules still use, naming them, unless --force.
void check_unused(Session &s, RuleDef::Action action, int target, const std::string &what) {
    if (s.force) return;
    std::vector<RuleRef> refs = rules_using(s, action, target);
    if (!refs.empty())
        refused("cannot delete " + what + ": rules send traffic to it (" + format_refs(refs) +
                "); delete them first, or --force deletes it anyway");
}

void lbg_delete(Session &s, Args &a) {
    int n = lbg_named(s, a.next("LBG"));
    a.finish();
    std::string what = "load-balancing group " + std::to_string(n);
    Listed l = lbg_numbers(s);
    if (l.whole && std::find(l.numbers.begin(), l.numbers.end(), n) == l.numbers.end())
        refused("cannot delete " + what + ": unit " + std::to_string(s.unit) +
                " has no such group");
    check_unused(s, RuleDef::Action::Lbg, n, what);
    s.value(send_lbg_remove(s, n), "delete " + what);
    s.print_ok();
}

void lbg_list(Session &s, Args &a) {
    a.finish();
    if (auto held = read_back_lbgs(s)) return s.print(print_held_lbgs(*held));
    forget_lbgs(s);
    Listed l = lbg_numbers(s);
    s.print(print_lbgs(l.numbers, l.whole));
}

RuleUses uses(Session &s, RuleDef::Action action, int target) {
    RuleUses u;
    for (const RuleRef &r : rules_using(s, action, target)) u.emplace_back(r.group, r.id);
    return u;
}

// show LBG: what kelfd reports of one group, and the rules that use it.
void lbg_show(Session &s, Args &a) {
    if (a.done()) return lbg_list(s, a);
    int n = lbg_named(s, a.next("LBG"));
    a.finish();
    if (auto held = read_back_lbgs(s)) {
        for (const HeldLbg &l : *held)
            if (l.number == n) return s.print(print_held_lbg(l, uses(s, RuleDef::Action::Lbg, n)));
        refused("unit " + std::to_string(s.unit) + " has no load-balancing group " +
                std::to_string(n));
    }
    forget_lbgs(s);
    Listed l = lbg_numbers(s);
    bool listed = std::find(l.numbers.begin(), l.numbers.end(), n) != l.numbers.end();
    if (!listed && l.whole)
        refused("unit " + std::to_string(s.unit) + " has no load-balancing group " +
                std::to_string(n));
    s.print(print_lbg_detail(n, listed, uses(s, RuleDef::Action::Lbg, n)));
}

int mirror_number(Session &s, Args &a) {
    return s.port(a, "MIRROR", PortFamily::Card);
}

// The monitored ports of a mirror; nullopt when it has none (or is none).
// Refused when kelfd could not walk them: a mirror is never shown without
// ports because the switch failed to list them.
std::optional<std::vector<int>> mirror_port_list(Session &s, int m) {
    kel_lbg_query_list_t q = read_mirror_ports(s, m);
    if (q.ret != 0 && q.kel_lbg_list.lbg_num < 0)
        refused("cannot read the monitored ports of mirror " + std::to_string(m) + " of unit " +
                std::to_string(s.unit) + ": the switch failed the walk (kelfd's output says why)");
    if (q.ret != 0) return std::nullopt;
    return list_of(q.kel_lbg_list, KEL_REPLY_LIST_MAX);
}

bool mirror_exists(Session &s, int m) {
    return listed(mirror_numbers(s), m);
}

void mirror_add(Session &s, Args &a) {
    int m = mirror_number(s, a);
    std::vector<int> ports;
    if (a.accept("ports")) ports = s.ports(a, "ports PORTS", PortFamily::Card);
    a.finish();
    if (ports.size() > kListMax) usage("mirror add takes at most 32 ports");
    bool existed = mirror_exists(s, m);
    std::vector<int> before =
        existed ? mirror_port_list(s, m).value_or(std::vector<int>{}) : std::vector<int>{};
    if (send_mirror_add(s, m, ports) == 0) return s.print_ok();
    // Leave nothing of the failed command behind: the mirror it made, or
    // the ports it added to one that was there.
    std::string undo;
    if (!existed) {
        send_mirror_remove(s, m);
        undo = "mirror " + std::to_string(m) + " is deleted again";
    } else {
        for (int p : mirror_port_list(s, m).value_or(std::vector<int>{}))
            if (std::find(before.begin(), before.end(), p) == before.end())
                send_mirror_port(s, KEL_MIR_PORT_REMOVE, m, p);
        undo = "the ports it added are removed again";
    }
    refused("cannot " + std::string(existed ? "add ports " : "create mirror ") +
            (existed ? format_port_list(ports) + " to mirror " : "") + std::to_string(m) +
            (existed || ports.empty() ? "" : " with ports " + format_port_list(ports)) +
            ": the switch refused a monitored port (a mirror cannot monitor its own port " +
            std::to_string(m) + "; " + kKelfdLogsWhy + "); " + undo);
}

void mirror_delete(Session &s, Args &a) {
    int m = mirror_number(s, a);
    a.finish();
    std::string what = "mirror " + std::to_string(m);
    if (!mirror_exists(s, m))
        refused("cannot delete " + what + ": unit " + std::to_string(s.unit) +
                " has no such mirror");
    check_unused(s, RuleDef::Action::Mirror, m, what);
    s.value(send_mirror_remove(s, m), "delete " + what);
    s.print_ok();
}

void mirror_ports(Session &s, Args &a, int code, const char *verb) {
    int m = mirror_number(s, a);
    std::vector<int> ports = s.ports(a, "PORTS", PortFamily::Card);
    a.finish();
    if (!mirror_exists(s, m))
        refused(std::string("cannot ") + verb + " ports of mirror " + std::to_string(m) +
                ": unit " + std::to_string(s.unit) + " has no such mirror");
    for (int p : ports) {
        s.value(send_mirror_port(s, code, m, p), std::string(verb) + " port " + std::to_string(p) +
                                                     " of mirror " + std::to_string(m));
    }
    s.print_ok();
}

void mirror_add_port(Session &s, Args &a) {
    mirror_ports(s, a, KEL_MIR_PORT_ADD, "add");
}
void mirror_delete_port(Session &s, Args &a) {
    mirror_ports(s, a, KEL_MIR_PORT_REMOVE, "remove");
}

void mirror_vlan(Session &s, Args &a) {
    int m = mirror_number(s, a);
    int vlan = a.accept("none") ? 0 : static_cast<int>(a.number("VLAN", 1, 4095));
    a.finish();
    s.value(send_mirror_vlan(s, m, vlan), "set the VLAN of mirror " + std::to_string(m));
    s.print_ok();
}

void mirror_list(Session &s, Args &a) {
    std::optional<int> only;
    if (!a.done()) only = mirror_number(s, a);
    a.finish();
    if (auto held = read_back_mirrors(s)) {
        if (!only) return s.print(print_held_mirrors(*held));
        for (const HeldMirror &m : *held)
            if (m.number == *only)
                return s.print(print_held_mirror(m, uses(s, RuleDef::Action::Mirror, *only)));
        refused("unit " + std::to_string(s.unit) + " has no mirror " + std::to_string(*only));
    }
    forget_mirrors(s);
    Listed l = mirror_numbers(s);
    if (only) {
        if (std::find(l.numbers.begin(), l.numbers.end(), *only) == l.numbers.end())
            refused("unit " + std::to_string(s.unit) + " has no mirror " + std::to_string(*only));
        MirrorInfo m{*only, mirror_port_list(s, *only)};
        return s.print(print_mirror_detail(m, uses(s, RuleDef::Action::Mirror, *only)));
    }
    std::vector<MirrorInfo> info;
    for (int m : l.numbers) info.push_back({m, mirror_port_list(s, m)});
    s.print(print_mirrors(info));
}

void mcast_create(Session &s, Args &a) {
    std::string name = optional_name(s, a, "multicast group", nullptr, read_back_mcasts);
    a.finish();
    int g = s.value(send_mcast_create(s), "create a multicast group");
    if (!name.empty() && !send_label(s, KEL_X_LABEL_MCAST, g, 0, name))
        s.err() << "kelfctl: warning: this kelfd keeps no names; group " << g << " has none\n";
    s.print(print_mcast_created(g));
}

int mcast_group(Session &s, Args &a) {
    return mcast_named(s, a.next("GROUP"));
}

// Rules that redirect to the group's port.
RuleUses mcast_uses(Session &s, int port) {
    return port < 0 ? RuleUses{} : uses(s, RuleDef::Action::Redirect, port);
}

void mcast_list(Session &s, Args &a) {
    a.finish();
    auto held = read_back_mcasts(s);
    if (!held)
        refused("this kelfd keeps no list of multicast groups: `mcast show GROUP` shows one");
    s.print(print_held_mcasts(*held));
}

void mcast_delete(Session &s, Args &a) {
    int g = mcast_group(s, a);
    a.finish();
    // Rules that redirect to its port would send to a port that is gone.
    if (!s.force)
        if (auto held = read_back_mcasts(s))
            for (const HeldMcast &m : *held)
                if (m.number == g && m.port >= 0)
                    check_unused(s, RuleDef::Action::Redirect, m.port,
                                 "multicast group " + std::to_string(g));
    s.value(send_mcast_remove(s, g), "delete multicast group " + std::to_string(g));
    s.print_ok();
}

void mcast_show(Session &s, Args &a) {
    if (a.done()) return mcast_list(s, a);
    int g = mcast_group(s, a);
    a.finish();
    if (auto held = read_back_mcasts(s)) {
        for (const HeldMcast &m : *held)
            if (m.number == g) return s.print(print_held_mcast(m, mcast_uses(s, m.port)));
        refused("unit " + std::to_string(s.unit) + " has no multicast group " + std::to_string(g));
    }
    s.print(print_mcast(g, s.value(read_mcast_port(s, g),
                                   "read the port of multicast group " + std::to_string(g))));
}

void mcast_add_listener(Session &s, Args &a) {
    int g = mcast_group(s, a);
    auto [port, vlan] = listener_words(s, a);
    s.value(send_mcast_listener(s, g, port, vlan), "add port " + std::to_string(port) +
                                                       " on VLAN " + std::to_string(vlan) +
                                                       " to multicast group " + std::to_string(g));
    s.print_ok();
}

}  // namespace

std::vector<Object> distribution_objects() {
    return {
        {"lbg",
         nullptr,
         "load-balancing groups",
         kLbgHelp,
         lbg_list,
         {{"add", nullptr, lbg_add},
          {"delete", "del", lbg_delete},
          {"list", "ls", lbg_list},
          {"show", nullptr, lbg_show}}},
        {"mirror",
         nullptr,
         "port mirrors",
         kMirrorHelp,
         mirror_list,
         {{"add", nullptr, mirror_add},
          {"delete", "del", mirror_delete},
          {"add-port", nullptr, mirror_add_port},
          {"delete-port", nullptr, mirror_delete_port},
          {"vlan", nullptr, mirror_vlan},
          {"list", "ls", mirror_list},
          {"show", nullptr, mirror_list}}},
        {"mcast",
         nullptr,
         "multicast groups and listeners",
         kMcastHelp,
         mcast_list,
         {{"add", "create", mcast_create},
          {"list", "ls", mcast_list},
          {"delete", "del", mcast_delete, {"remove"}},
          {"show", nullptr, mcast_show},
          {"add-listener", nullptr, mcast_add_listener}}},
        hash_object(),
    };
}

}  // namespace kelfctl
