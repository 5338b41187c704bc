// The requests of the lbg, mirror and mcast objects, and the lists of
// groups and mirrors the session keeps.
#include <algorithm>

#include "distribution.h"
#include "rule.h"
#include "staging.h"

namespace kelfctl {

namespace {

Listed list_reply(Session &s, int code, const char *what) {
    if_kel_lbg_t l = s.lbg(code);
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    if (q.ret != 0)
        refused(std::string("cannot list the ") + what + " of unit " + std::to_string(s.unit) +
                ": kelfd refused the request");
    int n = std::max(int{q.kel_lbg_list.lbg_num}, 0);
    Listed r;
    for (int i = 0; i < std::min(n, KEL_REPLY_LIST_MAX); ++i)
        r.numbers.push_back(q.kel_lbg_list.lbg_list[i]);
    // The mirror list counts every mirror; the group list stops at 16.
    r.whole = n < KEL_REPLY_LIST_MAX;
    return r;
}

}  // namespace

Listed lbg_numbers(Session &s) {
    auto &c = s.cache[s.unit];
    if (!c.lbgs) {
        Listed l = list_reply(s, KEL_LBG_QUERY_LIST, "load-balancing groups");
        c.lbgs = l.numbers;
        c.lbgs_whole = l.whole;
    }
    return {*c.lbgs, c.lbgs_whole};
}

Listed mirror_numbers(Session &s) {
    auto &c = s.cache[s.unit];
    if (!c.mirrors) {
        Listed l = list_reply(s, KEL_MIR_QUERY_LIST, "mirrors");
        if (!l.whole)
            s.err()
                << "kelfctl: kelfd reports 16 of the unit's mirrors; the others are not shown\n";
        c.mirrors = l.numbers;
        c.mirrors_whole = l.whole;
    }
    return {*c.mirrors, c.mirrors_whole};
}

void forget_lbgs(Session &s) {
    s.cache[s.unit].lbgs.reset();
}
void forget_mirrors(Session &s) {
    s.cache[s.unit].mirrors.reset();
}

bool listed(const Listed &l, int n) {
    return std::find(l.numbers.begin(), l.numbers.end(), n) != l.numbers.end();
}

namespace {

void fill_list(kel_lbg_list_t &l, const std::vector<int> &ports) {
    l.lbg_num = static_cast<std::int32_t>(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) l.lbg_list[i] = ports[i];
}

}  // namespace

std::int32_t send_lbg_add(Session &s, const std::vector<int> &ports) {
    if_kel_lbg_t l = s.lbg(KEL_LBG_ADD);
    fill_list(l.kel_query_list.kel_lbg_list, ports);
    forget_lbgs(s);
    return s.status(l);
}

namespace {

// Make before break: rules staged away from an object take force before
// the object goes, so that no rule in force points at a missing one.
void settle_rules(Session &s) {
    if (s.staging != nullptr) s.staging->commit(s.unit);
}

}  // namespace

std::int32_t send_lbg_remove(Session &s, int lbg) {
    settle_rules(s);
    if_kel_lbg_t l = s.lbg(KEL_LBG_REMOVE);
    l.lbg = lbg;
    forget_lbgs(s);
    return s.status(l);
}

std::int32_t send_mirror_add(Session &s, int mirror, const std::vector<int> &ports) {
    if_kel_lbg_t l = s.lbg(KEL_MIR_ADD);
    l.lbg = mirror;
    fill_list(l.kel_query_list.kel_lbg_list, ports);
    forget_mirrors(s);
    return s.status(l);
}

std::int32_t send_mirror_remove(Session &s, int mirror) {
    settle_rules(s);
    if_kel_lbg_t l = s.lbg(KEL_MIR_REMOVE);
    l.lbg = mirror;
    forget_mirrors(s);
    return s.status(l);
}

std::int32_t send_mirror_port(Session &s, int code, int mirror, int port) {
    if_kel_lbg_t l = s.lbg(code);
    l.lbg = mirror;
    l.port = port;
    return s.status(l);
}

std::int32_t send_mirror_vlan(Session &s, int mirror, int vlan) {
    if_kel_t k = s.kel(KEL_MIR_VLAN_ADD);
    k.port = mirror;
    k.group = vlan;
    return s.status(k);
}

kel_lbg_query_list_t read_mirror_ports(Session &s, int mirror) {
    if_kel_lbg_t l = s.lbg(KEL_MIR_PORT_QUERY_LIST);
    l.lbg = mirror;
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    return q;
}

std::int32_t send_mcast_create(Session &s) {
    return s.status(s.kel(KEL_MCG_CREATE));
}

std::int32_t send_mcast_remove(Session &s, int group) {
    settle_rules(s);
    if_kel_t k = s.kel(KEL_MCG_REMOVE);
    k.group = group;
    return s.status(k);
}

std::int32_t read_mcast_port(Session &s, int group) {
    if_kel_t k = s.kel(KEL_MCG_GET_PORT);
    k.group = group;
    return s.status(k);
}

std::int32_t send_mcast_listener(Session &s, int group, int port, int vlan) {
    if_kel_t k = s.kel(KEL_MCG_ADD_LISTENER);
    k.group = group;
    k.port = port;
    k.val = vlan;
    return s.status(k);
}

std::pair<int, int> listener_words(Session &s, Args &a) {
    std::optional<int> port, vlan;
    while (!a.done()) {
        if (!port && a.accept("port"))
            port = s.port(a, "port PORT", PortFamily::Card);
        else if (!vlan && a.accept("vlan"))
            vlan = static_cast<int>(a.number("vlan VLAN", 1, 4095));
        else
            a.finish();
    }
    if (!port || !vlan) usage("add-listener needs port PORT and vlan VLAN");
    return {*port, *vlan};
}

namespace {

// A number, or a name to look up among the objects kelfd reads back.
template <class T>
int named(Session &s, const std::string &word, const char *kind, const char *prefix,
          std::optional<std::vector<T>> (*read)(Session &)) {
    if (!word.empty() && word[0] >= '0' && word[0] <= '9')
        return static_cast<int>(value([&] { return parse_int(word, kind, 0, INT32_MAX); }));
    std::optional<std::vector<T>> held = read(s);
    if (!held)
        usage(std::string(kind) + " '" + word + "': this kelfd keeps no names; give the number");
    for (const T &x : *held)
        if (x.name == word) return x.number;
    // A group without a name goes by its kind and number, as save writes it.
    for (const T &x : *held)
        if (x.name.empty() && word == std::string(prefix) + std::to_string(x.number))
            return x.number;
    refused("unit " + std::to_string(s.unit) + " has no " + kind + " named '" + word + "'");
}

}  // namespace

int lbg_named(Session &s, const std::string &word) {
    return named(s, word, "load-balancing group", "lbg", read_back_lbgs);
}

int mcast_named(Session &s, const std::string &word) {
    return named(s, word, "multicast group", "mcast", read_back_mcasts);
}

std::optional<HeldMcast> mcast_at_port(Session &s, int port) {
    auto held = read_back_mcasts(s);
    if (held)
        for (const HeldMcast &m : *held)
            if (m.port == port) return m;
    return std::nullopt;
}

}  // namespace kelfctl
