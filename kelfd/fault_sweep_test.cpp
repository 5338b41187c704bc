// fault_sweep_test.cpp - every SDK operation fmsim counts, failed at its 1st,
// 2nd and 3rd call under one fixed workload that touches every object kind.
//
// Each combination runs in a child process of its own, on fresh switches,
// through the dispatcher as the server calls it; so a crash, a hang or a
// leak is pinned on one combination and never spills into the next. After
// each run:
//  - the daemon still answers once the fault is cleared (a no-action request,
//    a rule added and queried back);
//  - a command that replied success left the switch holding what it
//    reported (the rule in force, the group, mirror or multicast group with
//    its settings, the masks, the listed numbers);
//  - a create that replied failure left no object behind;
//  - the daemon's rule tables and the switch's ACLs hold the same rules after
//    every request, whatever it replied;
//  - the sanitizers are silent: no error, and no leak unless the failed call
//    was a delete, which leaves behind what it could not delete.
// Known faults of the daemon are listed in kKnownFaults below with their
// reason, so that the sweep stays green while they are being fixed and
// fails as soon as one of them is no longer seen (the entry must then go).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "dispatch.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "fmsim_lbg.h"
#include "fmsim_mcast.h"
#include "fmsim_mirror.h"
#include "fmsim_vlan.h"
#include "ports/ports.h"
#include "rules/rule_table.h"
#include "testing/harness.h"
#include "testing/tables_agree.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELF_SWEEP_LSAN 1
#endif
#endif
#if !defined(KELF_SWEEP_LSAN) && defined(__SANITIZE_ADDRESS__)
#define KELF_SWEEP_LSAN 1
#endif
#ifdef KELF_SWEEP_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using kelftest::Answer;

// What a check found wrong, by kind:
//   alive      the daemon does not answer properly once the fault is gone
//   tables     rule table and switch ACL disagree
//   rule       a rule add replied an id, but the rule is not in force
//   rule-setup a rule add replied an id, but a switch setting its action
//              needs is missing
//   cfg        a configuration replied success, but the masks are not its own
//   mask       a port-mask command replied success with the wrong masks
//   lbg, mirror, mcast
//              a command replied success, but the object is not as reported
//   vlan       VLAN promiscuity replied success, but the port's VLANs are
//              not what it set
//   leftover   a create replied failure, but the object stays in the switch
//   list       a list replied success, but is not the switch's list
//   output     one request printed more than kMaxLines lines
//   leak       LeakSanitizer reported a leak (not after a delete failure)
//   crash      the run ended on a signal or a sanitizer error
//   hang       the run did not finish in kRunLimit
struct Finding {
    std::string kind;
    std::string text;
};

struct Known {
    const char *op;    // the failed operation
    int nth;           // its failed call; 0 for any of 1..3
    const char *kind;  // the kind of finding
    const char *reason;
};

// Faults the sweep finds in the daemon today, each with why. Remove an entry
// when its fix lands: the sweep fails on an entry it no longer needs.
// Empty: every fault the sweep reaches answers as a failure. (A leak after a
// failed fmDeleteBitArray is no finding: the leak check skips delete failures.)
const std::vector<Known> kKnownFaults;

constexpr int kMaxLines = 64;
constexpr auto kRunLimit = std::chrono::seconds(60);
constexpr int kMaxNth = 3;
constexpr int kGroupAlive = 31;  // the aliveness check's own rule group

bool is_delete_op(const std::string &op) {
    return op.find("Delete") != std::string::npos;
}

std::string join(const std::vector<int> &v) {
    std::string s = "{";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "}";
}

std::uint64_t bits(const std::vector<int> &ports) {
    std::uint64_t m = 0;
    for (int p : ports) m |= 1ull << p;
    return m;
}

// The fixed workload and its checks, on fresh switches. Runs in the child.
class Workload {
public:
    std::vector<Finding> found;

    // Calls of op since the workload began.
    std::uint64_t workload_calls(const std::string &op) {
        return fmsim_calls(op) - setup_calls_[op];
    }

    // Fresh switches with their VLANs, as the bring-up leaves them; the
    // fault (none for an empty op), counted from the workload's first call;
    // then every request.
    void run(const std::string &op, int nth) {
        kelftest::fresh_daemon(2);
        for (int v = 1; v <= FM_MAX_VLAN; ++v) fmCreateVlan(0, static_cast<fm_uint16>(v));
        for (const std::string &o : fmsim_operations()) setup_calls_[o] = fmsim_calls(o);
        if (!op.empty()) fmsim_fail(op, setup_calls_[op] + static_cast<std::uint64_t>(nth));
        daemon_requests();
        int lbg = lbgs_create();
        mirrors();
        // Rules before configurations: so the first calls of the port
        // attribute and VLAN operations are the rule set-ups' own.
        rules(lbg);
        configurations();
        port_masks();
        multicast();
        hashes();
        statistics();
        port_properties();
        platform();
        teardown(lbg);
    }

    // With the fault gone the daemon serves as before.
    void alive() {
        fmsim_fail_clear();
        kelftest::kel_request(d_, KEL_INIT);
        Answer a = go("no-action request (after the fault)");
        if (a.status() != 0) fail("alive", "a no-action request replied " + describe(a));
        int id = add_rule("drop rule (after the fault)", KEL_SET_DROP, 0, 0, kGroupAlive,
                          [](kel_mem_t &m) { m.port = 3; });
        if (id <= 0) {
            fail("alive", "a drop rule add replied " + std::to_string(id));
            return;
        }
        if_kel_t &q = kelftest::kel_request(d_, KEL_ENTRY_QUERY);
        q.kel_mem.group = kGroupAlive;
        q.kel_mem.rule_id = id;
        a = go("rule query (after the fault)");
        auto rec = a.as<kel_query_rule_t>();
        if (rec.ret != 0 || !(rec.kel_mem.rule_act & KEL_ACT_DROP) || rec.kel_mem.port != 3)
            fail("alive", "the rule just added queries back as ret " + std::to_string(rec.ret) +
                              ", action " + std::to_string(rec.kel_mem.rule_act) + ", port " +
                              std::to_string(rec.kel_mem.port));
    }

private:
    kelf::Dispatcher d_;
    std::string step_;
    std::string split_;  // the last table disagreement reported

    void fail(const std::string &kind, const std::string &text) {
        found.push_back({kind, step_ + ": " + text});
    }

    static std::string describe(const Answer &a) {
        if (a.reply.size() == 4) return std::to_string(a.status());
        return "a " + std::to_string(a.reply.size()) + "-byte record";
    }

    // Runs the request in the buffer and the checks every request gets.
    Answer go(const std::string &name) {
        Answer a = kelftest::send(d_);
        step_ = name + " (replied " + describe(a) + ")";
        long lines = std::count(a.out.begin(), a.out.end(), '\n');
        if (lines > kMaxLines) fail("output", "printed " + std::to_string(lines) + " lines");
        tables_in_step();
        return a;
    }

    // The daemon's tables against the switch's ACLs; a disagreement is
    // reported where it first shows, not again after every later request.
    void tables_in_step() {
        std::string split;
        for (int unit = 0; unit < 2; ++unit)
            for (const kelftest::TablesApart &a : kelftest::tables_apart(unit))
                split += "unit " + std::to_string(unit) + " group " + std::to_string(a.group) +
                         ": table " + join(a.table) + ", switch " + join(a.acl) + "; ";
        if (!split.empty() && split != split_) fail("tables", split);
        split_ = split;
    }

    // --- rules -----------------------------------------------------------

    int add_rule(const std::string &name, int cmd, int action, int unit, int group,
                 const std::function<void(kel_mem_t &)> &fill) {
        if_kel_t &r = kelftest::kel_request(d_, cmd, unit);
        r.action = action;
        r.kel_mem.group = group;
        fill(r.kel_mem);
        const kel_mem_t m = r.kel_mem;
        int effective = cmd == KEL_SET_DROP     ? KEL_ACT_DROP
                        : cmd == KEL_SET_DIR    ? KEL_ACT_REDIRECT
                        : cmd == KEL_SET_MIR    ? KEL_ACT_MIRROR
                        : cmd == KEL_SET_PERMIT ? KEL_ACT_PERMIT
                                                : action;
        Answer a = go(name);
        int id = a.status();
        if (id <= 0) return id;
        FmsimAclRule on{};
        if (!fmsim_acl_rule(unit, group, id, &on))
            fail("rule", "rule " + std::to_string(id) + " is not in ACL " + std::to_string(group));
        else if (!fmsim_acl_in_force(unit))
            fail("rule", "rule " + std::to_string(id) + " was not compiled and applied");
        else if (m.port >= 41 && m.port <= 48 &&
                 fmsim_port_set_ports(unit, on.value.portSet) != std::vector<int>{m.port})
            fail("rule", "rule " + std::to_string(id) + " matches port set " +
                             join(fmsim_port_set_ports(unit, on.value.portSet)) + ", not port " +
                             std::to_string(m.port));
        if (effective & KEL_ACT_MIRROR) {
            if (!fmsim_mirror(unit, m.mirror_port).acl)
                fail("rule-setup", "mirror " + std::to_string(m.mirror_port) +
                                       " does not take frames from rules (FM_MIRROR_ACL)");
        }
        if (effective & KEL_ACT_SET_VLAN_PRI) {
            for (int p : {5, 6, 9, 10, 1, 2, 7, 8}) {
                std::int32_t v = 0;
                if (!fmsim_port_attr(unit, p, FM_PORT_TXVPRI, &v) || v != TRUE)
                    fail("rule-setup",
                         "port " + std::to_string(p) + " does not update VLAN priority");
            }
        }
        if (effective & KEL_ACT_SET_USER) {
            for (int p : {1, 2, 7, 8}) {
                std::int32_t v = 0;
                if (!fmsim_port_attr(unit, p, FM_PORT_ISL_TAG_FORMAT, &v) || v != FM_ISL_TAG_F64)
                    fail("rule-setup", "port " + std::to_string(p) + " has no 64-bit ISL tag");
            }
        }
        return id;
    }

    void remove_rule(int unit, int group, int id) {
        if_kel_t &r = kelftest::kel_request(d_, KEL_ENTRY_REMOVE, unit);
        r.group = group;
        r.rule_id = id;
        bool had = kel_acl[unit][group].find(id) >= 0;
        Answer a = go("remove rule " + std::to_string(id) + " of group " + std::to_string(group));
        if (a.status() == 0 && had) {
            FmsimAclRule on{};
            if (fmsim_acl_rule(unit, group, id, &on)) fail("rule", "the rule is still in the ACL");
        }
    }

    void query_rule(int unit, int group, int id) {
        if_kel_t &r = kelftest::kel_request(d_, KEL_ENTRY_QUERY, unit);
        r.kel_mem.group = group;
        r.kel_mem.rule_id = id;
        go("query rule " + std::to_string(id));
    }

    void rules(int lbg) {
        std::vector<std::pair<int, int>> added;  // group, id
        auto keep = [&](int group, int id) {
            if (id > 0) added.push_back({group, id});
        };
        keep(1, add_rule("drop rule, IPv4 source", KEL_SET_DROP, 0, 0, 1, [](kel_mem_t &m) {
                 m.port = 1;
                 m.src_ip = 0x0A000001;
                 m.src_ip_mask = 0xFFFFFF00;
             }));
        keep(1, add_rule("permit rule id 100, MAC", KEL_SET_PERMIT, 0, 0, 1, [](kel_mem_t &m) {
                 m.rule_id = 100;
                 m.port = 2;
                 m.dst_mac.flag = 1;
                 std::memcpy(m.dst_mac.mac, "\x02\x00\x00\x00\x00\x01", 6);
             }));
        int redirect = add_rule("redirect rule", KEL_SET_DIR, 0, 0, 1, [](kel_mem_t &m) {
            m.port = 3;
            m.redir_port = 7;
        });
        keep(1, redirect);
        keep(1, add_rule("mirror rule", KEL_SET_MIR, 0, 0, 1, [](kel_mem_t &m) {
                 m.port = 4;
                 m.mirror_port = 10;
             }));
        keep(1,
             add_rule("load-balancing rule", KEL_SET_RULE, KEL_ACT_LBG, 0, 1, [lbg](kel_mem_t &m) {
                 m.port = 5;
                 m.redir_port = lbg;
             }));
        keep(2, add_rule("set-VLAN rule", KEL_SET_RULE, KEL_ACT_PERMIT | KEL_ACT_SET_VLAN, 0, 2,
                         [](kel_mem_t &m) {
                             m.port = 6;
                             m.vlan_act = 200;
                         }));
        keep(2, add_rule("set-VLAN-priority rule", KEL_SET_RULE,
                         KEL_ACT_PERMIT | KEL_ACT_SET_VLAN_PRI, 0, 2, [](kel_mem_t &m) {
                             m.port = 7;
                             m.vlan_pri_act = 5;
                         }));
        keep(2, add_rule("set-switch-priority rule", KEL_SET_RULE,
                         KEL_ACT_PERMIT | KEL_ACT_SET_SWITCH_PRI, 0, 2, [](kel_mem_t &m) {
                             m.port = 8;
                             m.user_act = 3;
                         }));
        keep(2, add_rule("user-bits rule", KEL_SET_RULE, KEL_ACT_SET_USER, 0, 2, [](kel_mem_t &m) {
                 m.port = 9;
                 m.user_act = 2;
             }));
        keep(3, add_rule("combined rule on a PCI Express port", KEL_SET_RULE,
                         KEL_ACT_REDIRECT | KEL_ACT_SET_VLAN | KEL_ACT_SET_VLAN_PRI, 0, 3,
                         [](kel_mem_t &m) {
                             m.port = 41;
                             m.redir_port = 11;
                             m.vlan_act = 300;
                             m.vlan_pri_act = 2;
                             m.vlan = 100;
                             m.vlan_mask = 0xFFF;
                             m.ip_protocol = 6;
                             m.dst_port = 80;
                             m.dst_port_mask = 0xFFFF;
                         }));
        // Port sets: a second PCI Express port gets its own, the first port
        // again finds its set.
        keep(3, add_rule("drop rule on PCI Express port 42", KEL_SET_DROP, 0, 0, 3,
                         [](kel_mem_t &m) { m.port = 42; }));
        keep(3, add_rule("permit rule on PCI Express port 41 again", KEL_SET_PERMIT, 0, 0, 3,
                         [](kel_mem_t &m) { m.port = 41; }));
        keep(3, add_rule("drop rule, IPv6", KEL_SET_DROP, 0, 0, 3, [](kel_mem_t &m) {
                 m.port = 12;
                 m.src_ip6.flag = 1;
                 m.src_ip6.ip[0] = 0x20;
                 m.src_ip6.ip[1] = 0x01;
                 m.src_ip6_mask.flag = 1;
                 std::memset(m.src_ip6_mask.ip, 0xFF, 8);
             }));
        add_rule("drop rule on unit 1", KEL_SET_DROP, 0, 1, 2, [](kel_mem_t &m) { m.port = 1; });

        for (auto [group, id] : added) query_rule(0, group, id);
        if_kel_t &l = kelftest::kel_request(d_, KEL_ENTRY_QUERY_LIST);
        l.group = 1;
        go("rule list of group 1");
        if (!added.empty()) {
            if_kel_t &c = kelftest::kel_request(d_, KEL_GET_CNT);
            c.kel_mem.group = added.front().first;
            c.rule_id = added.front().second;
            go("rule counter");
        }
        if (redirect > 0) remove_rule(0, 1, redirect);
        remove_rule(0, 1, 100);
        remove_rule(0, 1, 4000);  // no such rule
    }

    // --- port configuration ----------------------------------------------

    void configurations() {
        for (int cfg = 1; cfg <= 6; ++cfg) {
            if_kel_t &r = kelftest::kel_request(d_, KEL_SET_CFG);
            r.cfg = cfg;
            Answer a = go("configuration " + std::to_string(cfg));
            if (a.status() != 0) continue;
            check_cfg_masks(cfg);
            kelftest::kel_request(d_, KEL_GET_CFG);
            Answer g = go("configuration read back");
            if (g.status() != cfg)
                fail("cfg", "configuration " + std::to_string(cfg) + " is not recorded");
        }
    }

    // One finding per configuration: the first port whose mask is wrong.
    void check_cfg_masks(int cfg) {
        int wrong = 0, first = 0;
        auto expect = [&](int port, std::uint64_t want) {
            if (fmsim_port_mask(0, port) == want) return;
            if (wrong++ == 0) first = port;
        };
        std::uint64_t all = 0;
        for (int q = 1; q <= 47; ++q) all |= 1ull << q;
        for (int p = 1; p <= 47; ++p) {
            switch (cfg) {
                case 1:
                    expect(p, 1ull << (p % 2 ? p + 1 : p - 1));
                    break;
                case 2:
                    if (p <= 4) expect(p, bits({5}));
                    if (p == 5) expect(p, bits({1, 2, 3, 4}));
                    break;
                case 5:
                    expect(p, 0);
                    break;
                case 6:
                    expect(p, all);
                    break;
                default:
                    break;
            }
        }
        if (wrong)
            fail("cfg", std::to_string(wrong) + " ports have a mask not of configuration " +
                            std::to_string(cfg) + ", the first port " + std::to_string(first) +
                            " has " + std::to_string(fmsim_port_mask(0, first)));
    }

    void port_masks() {
        auto set = [](std::uint8_t *s, std::initializer_list<int> ports) {
            for (int p : ports) s[p / 8] = static_cast<std::uint8_t>(s[p / 8] | (1u << (p % 8)));
        };
        d_.clear();
        if_kel_mask_t &r = d_.buffer().mask;
        r.kel_cmd = KEL_SET_PORT_MASK;
        set(r.mask.ingress, {1, 2});
        set(r.mask.egress, {4, 5});
        Answer a = go("set port mask");
        if (a.status() == 0)
            for (int p : {1, 2})
                if (fmsim_port_mask(0, p) != bits({4, 5}))
                    fail("mask", "port " + std::to_string(p) + " has not got its mask");
        d_.clear();
        if_kel_mask_t &g = d_.buffer().mask;
        g.kel_cmd = KEL_GET_PORT_MASK;
        set(g.mask.ingress, {1});
        a = go("get port mask");
        auto m = a.as<kel_mask_t>();
        if (m.ret_val == 0) {
            std::uint64_t got = 0;
            for (int q = 1; q <= 47; ++q)
                if ((m.egress[q / 8] >> (q % 8)) & 1u) got |= 1ull << q;
            if (got != (fmsim_port_mask(0, 1) & ~1ull & ((1ull << 48) - 1)))
                fail("mask", "the mask read is not port 1's");
        }
    }

    // --- distribution ----------------------------------------------------

    int lbgs_create() {
        const std::vector<int> ports = {1, 2, 3};
        std::vector<int> before = fmsim_lbg_list(0);
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_LBG_ADD);
        kelftest::set_list(r, ports);
        Answer a = go("load-balancing group create");
        int n = a.status();
        if (n < 0) {
            if (fmsim_lbg_list(0) != before) fail("leftover", "a group stays in the switch");
        } else {
            FmsimLbg g = fmsim_lbg(0, n);
            bool bins_ok = g.bins.size() == 256;
            for (size_t b = 0; bins_ok && b < 256; ++b) bins_ok = g.bins[b] == ports[b % 3];
            if (!g.exists || g.state != FM_LBG_STATE_ACTIVE || !bins_ok)
                fail("lbg", "group " + std::to_string(n) + " is missing, inactive or unmapped");
        }
        kelftest::lbg_request(d_, KEL_LBG_QUERY_LIST);
        a = go("load-balancing group list");
        auto q = a.list();
        if (q.ret == 0) {
            std::vector<int> sw = fmsim_lbg_list(0);
            if (sw.size() > KEL_REPLY_LIST_MAX) sw.resize(KEL_REPLY_LIST_MAX);
            if (kelftest::entries(q, q.kel_lbg_list.lbg_num) != sw)
                fail("list", "listed " + join(kelftest::entries(q, q.kel_lbg_list.lbg_num)) +
                                 ", the switch has " + join(sw));
        }
        return n;
    }

    void mirror_list() {
        kelftest::lbg_request(d_, KEL_MIR_QUERY_LIST);
        Answer a = go("mirror list");
        auto q = a.list();
        if (q.ret != 0) return;
        std::vector<int> sw = fmsim_mirror_list(0);
        int n = std::min(q.kel_lbg_list.lbg_num, KEL_REPLY_LIST_MAX);
        std::vector<int> got = kelftest::entries(q, n);
        std::vector<int> want(sw.begin(),
                              sw.begin() + std::min<size_t>(sw.size(), KEL_REPLY_LIST_MAX));
        if (q.kel_lbg_list.lbg_num != static_cast<int>(sw.size()) || got != want)
            fail("list", "listed " + std::to_string(q.kel_lbg_list.lbg_num) + " " + join(got) +
                             ", the switch has " + join(sw));
    }

    void mirror_port_list(int mirror) {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_PORT_QUERY_LIST);
        r.lbg = mirror;
        Answer a = go("mirror port list");
        auto q = a.list();
        if (q.ret != 0) return;
        std::vector<int> sw = fmsim_mirror(0, mirror).ports;
        std::vector<int> got =
            kelftest::entries(q, std::min(q.kel_lbg_list.lbg_num, KEL_REPLY_LIST_MAX));
        if (q.kel_lbg_list.lbg_num != static_cast<int>(sw.size()) || got != sw)
            fail("list", "listed " + std::to_string(q.kel_lbg_list.lbg_num) + " " + join(got) +
                             ", the switch has " + join(sw));
    }

    static bool monitored(int mirror, int port) {
        std::vector<int> ports = fmsim_mirror(0, mirror).ports;
        return std::find(ports.begin(), ports.end(), port) != ports.end();
    }

    void mirrors() {
        if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_ADD);
        r.lbg = 10;
        kelftest::set_list(r, {1, 2});
        Answer a = go("mirror 10 create with ports 1, 2");
        if (a.status() == 0) {
            FmsimMirror m = fmsim_mirror(0, 10);
            if (!m.exists || m.mirror_port != 10 || m.ports != std::vector<int>{1, 2})
                fail("mirror", "mirror 10 is missing or lacks its ports");
        }
        if_kel_lbg_t &e = kelftest::lbg_request(d_, KEL_MIR_ADD);
        e.lbg = 11;
        a = go("mirror 11 create without ports");
        if (a.status() == 0 && !fmsim_mirror(0, 11).exists) fail("mirror", "mirror 11 is missing");

        if_kel_lbg_t &p = kelftest::lbg_request(d_, KEL_MIR_PORT_ADD);
        p.lbg = 10;
        p.port = 3;
        a = go("mirror port add");
        if (a.status() == 0 && !monitored(10, 3)) fail("mirror", "port 3 is not monitored");
        if_kel_lbg_t &x = kelftest::lbg_request(d_, KEL_MIR_PORT_REMOVE);
        x.lbg = 10;
        x.port = 2;
        a = go("mirror port remove");
        if (a.status() == 0 && monitored(10, 2)) fail("mirror", "port 2 is still monitored");
        if_kel_t &v = kelftest::kel_request(d_, KEL_MIR_VLAN_ADD);
        v.port = 10;
        v.group = 100;
        a = go("mirror VLAN");
        if (a.status() == 0 && fmsim_mirror(0, 10).vlan != 100) fail("mirror", "VLAN not set");
        mirror_list();
        mirror_port_list(10);
    }

    int create_mcast(const std::string &name) {
        std::vector<int> before = fmsim_mcast_list(0);
        kelftest::kel_request(d_, KEL_MCG_CREATE);
        int g = go(name).status();
        if (g < 0) {
            if (fmsim_mcast_list(0) != before) fail("leftover", "a group stays in the switch");
        } else {
            FmsimMcastGroup m = fmsim_mcast_group(0, g);
            if (!m.exists || !m.active || m.l2_only || !m.l3_only)
                fail("mcast",
                     "group " + std::to_string(g) + " is missing, inactive or not L3-only");
        }
        return g;
    }

    void multicast() {
        int g = create_mcast("multicast group create");
        Answer a;
        if_kel_t &p = kelftest::kel_request(d_, KEL_MCG_GET_PORT);
        p.group = g;
        a = go("multicast group port");
        if (a.status() >= 0 && g >= 0 && a.status() != fmsim_mcast_group(0, g).port)
            fail("mcast", "port " + std::to_string(a.status()) + " is not the group's");
        for (const std::pair<int, int> &pv : {std::pair{5, 100}, {6, 101}}) {
            const int port = pv.first, vlan = pv.second;
            if_kel_t &l = kelftest::kel_request(d_, KEL_MCG_ADD_LISTENER);
            l.group = g;
            l.port = port;
            l.val = vlan;
            a = go("multicast listener add");
            if (a.status() == 0 && g >= 0) {
                auto ls = fmsim_mcast_group(0, g).listeners;
                bool there = std::any_of(ls.begin(), ls.end(), [&](const FmsimMcastListener &x) {
                    return x.port == port && x.vlan == vlan;
                });
                if (!there) fail("mcast", "the listener is not in the group");
            }
        }
        // A second group, removed at once; the first stays for the teardown.
        int g2 = create_mcast("second multicast group create");
        if (g2 >= 0) remove_mcast(g2);
        mcast_ = g;
    }

    void remove_mcast(int g) {
        if_kel_t &r = kelftest::kel_request(d_, KEL_MCG_REMOVE);
        r.group = g;
        Answer a = go("multicast group remove");
        if (a.status() == 0 && fmsim_mcast_group(0, g).exists)
            fail("mcast", "group " + std::to_string(g) + " is still there");
    }

    void hashes() {
        if_kel_t &l2 = kelftest::kel_request(d_, KEL_SET_L2_HASH);
        l2.l2_hash.l2_hash_set = KEL_L2_HASH_SRC_MAC | KEL_L2_HASH_DST_MAC | KEL_L2_HASH_VLAN_ID;
        std::memset(l2.l2_hash.src_mac_mask, 0xFF, 6);
        std::memset(l2.l2_hash.dst_mac_mask, 0xFF, 6);
        l2.l2_hash.vlan_id_mask = 0xFFF;
        go("set L2 hash");
        if_kel_t &l3 = kelftest::kel_request(d_, KEL_SET_L3_HASH);
        l3.l3_hash.l3_hash_set = KEL_L3_HASH_SRC_IP | KEL_L3_HASH_DST_IP | KEL_L3_HASH_PROTO |
                                 KEL_L3_HASH_SYM_L3 | KEL_HASH_PROFILE;
        l3.l3_hash.src_ip_mask = 0xFFFFFFFF;
        l3.l3_hash.dst_ip_mask = 0xFFFFFFFF;
        l3.l3_hash.proto_mask = 0xFF;
        l3.l3_hash.sym_l3_fields = 1;
        go("set L3 hash");
        kelftest::kel_request(d_, KEL_GET_L2_HASH);
        go("get L2 hash");
        kelftest::kel_request(d_, KEL_GET_L3_HASH);
        go("get L3 hash");
    }

    // --- device access ---------------------------------------------------

    Answer simple(const std::string &name, int cmd, const kelftest::Fields &f) {
        if_kel_t &k = kelftest::kel_request(d_, cmd, f.unit);
        k.port = f.port;
        k.phy_addr = f.phy_addr;
        k.dev = f.dev;
        k.addr = f.addr;
        k.val = f.val;
        k.kel_mem.port = f.port;
        k.kel_query_list.kel_id_list.rule_num = f.count;
        std::memcpy(k.kel_query_list.kel_id_list.id_list, "\x10\xDE\xAD\xBE\xEF", 5);
        return go(name);
    }

    void statistics() {
        simple("port counters", KEL_GET_STAT, {.port = 1});
        simple("priority counters", KEL_GET_PRIO_STAT, {.port = 1});
        simple("counters reset", KEL_RESET_STAT, {.port = 1});
    }

    void port_properties() {
        simple("device count", KEL_GET_DEV_NUM, {});
        simple("port link", KEL_GET_PORT_LINK, {.port = 1});
        // Promiscuity: port 9 in every VLAN from 2 on, forwarding; then in none.
        if (simple("VLAN promiscuous add", KEL_ADD_VLAN_PROMISC, {.port = 9}).status() == 0)
            for (int v = 2; v <= FM_MAX_VLAN; ++v) {
                FmsimVlanMember m = fmsim_vlan_member(0, v, 9);
                if (!m.member || m.stp_state != FM_STP_STATE_FORWARDING) {
                    fail("vlan", "port 9 is not forwarding in VLAN " + std::to_string(v));
                    break;
                }
            }
        if (simple("VLAN promiscuous remove", KEL_DEL_VLAN_PROMISC, {.port = 9}).status() == 0)
            for (int v = 2; v <= FM_MAX_VLAN; ++v)
                if (fmsim_vlan_member(0, v, 9).member) {
                    fail("vlan", "port 9 stays in VLAN " + std::to_string(v));
                    break;
                }
        simple("port speed", KEL_GET_PORT_SPEED, {.port = 1});
        simple("port Ethernet mode", KEL_GET_PORT_ETH_MODE, {.port = 1});
        simple("set parser", KEL_SET_PORT_PARSER, {.port = 4, .val = 2});
        simple("get parser", KEL_GET_PORT_PARSER, {.port = 4});
        simple("set routed frame update", KEL_SET_RFRAME_UPDATE, {.port = 7, .val = 0x7F01});
        simple("get routed frame update", KEL_GET_RFRAME_UPDATE, {.port = 7});
        simple("set TTL update", KEL_SET_TTL_UPDATE, {.port = 7, .val = 0x100});
        simple("get TTL update", KEL_GET_TTL_UPDATE, {.port = 7});
        simple("set stay-up", KEL_SET_SW_REMAIN, {.val = 1});
        simple("get stay-up", KEL_GET_SW_REMAIN, {});
        simple("PRBS", KEL_SET_PRBS, {.unit = 1, .dev = 7, .addr = 5, .val = 12});
        if_kel_lbg_t &s = kelftest::lbg_request(d_, KEL_GET_PORT_STATE);
        s.lbg = 8;
        go("port state");
        simple("loopback on", KEL_SET_LOOPBACK, {.dev = 6, .val = 1});
        simple("loopback off", KEL_SET_LOOPBACK, {.dev = 6, .val = 0});
    }

    void platform() {
        simple("PHY write", KEL_WRITE_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC001, .val = 5});
        simple("PHY read", KEL_READ_PHY, {.phy_addr = 3, .dev = 1, .addr = 0xC001});
        simple("bypass write", KEL_BP_WRITE, {.dev = 0x21, .count = 4});
        simple("bypass read", KEL_BP_READ, {.dev = 0x21, .count = 3});
        simple("GPIO direction set", KEL_SET_GPIO_DIR,
               {.dev = 6, .addr = FM_PLAT_GPIO_DIR_OUTPUT, .val = 1});
        simple("GPIO direction get", KEL_GET_GPIO_DIR, {.dev = 6});
        simple("GPIO set", KEL_SET_GPIO, {.dev = 6, .val = 0});
        simple("GPIO get", KEL_GET_GPIO, {.dev = 6});
        simple("register write", KEL_SET_REG, {.addr = 0x1234, .val = 7});
        simple("register read", KEL_GET_REG, {.addr = 0x1234});
        simple("temperature write", KEL_TEMP_WRITE, {.dev = 0x4C, .count = 1});
        simple("temperature read", KEL_TEMP_READ, {.dev = 0x4C, .count = 2});
        simple("temperature 1 write", KEL_TEMP1_WRITE, {.dev = 0x4C, .count = 1});
        simple("temperature 1 read", KEL_TEMP1_READ, {.dev = 0x4C, .count = 1});
        simple("transceiver write", KEL_FCI_WRITE,
               {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 5});
        simple("transceiver read", KEL_FCI_READ,
               {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 5});
        simple("transceiver receive-side write", KEL_FCI_RX_WRITE,
               {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 2});
        simple("transceiver receive-side read", KEL_FCI_RX_READ,
               {.phy_addr = 12, .dev = 0xA0, .addr = 20, .count = 2});
    }

    void daemon_requests() {
        kelftest::kel_request(d_, KEL_INIT);
        go("no-action request");
    }

    // Everything the workload made goes again, the rules last.
    void teardown(int lbg) {
        if (lbg >= 0) {
            if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_LBG_REMOVE);
            r.lbg = lbg;
            Answer a = go("load-balancing group remove");
            if (a.status() == 0 && fmsim_lbg(0, lbg).exists)
                fail("lbg", "the group is still there");
        }
        for (int m : {10, 11}) {
            if_kel_lbg_t &r = kelftest::lbg_request(d_, KEL_MIR_REMOVE);
            r.lbg = m;
            Answer a = go("mirror " + std::to_string(m) + " remove");
            if (a.status() == 0 && fmsim_mirror(0, m).exists)
                fail("mirror", "the mirror is still there");
        }
        mirror_list();
        if (mcast_ >= 0) remove_mcast(mcast_);
        kelftest::kel_request(d_, KEL_CLEAR);
        Answer a = go("clear unit 0");
        if (a.status() == 0)
            for (int g = 0; g < KEL_MAX_GROUPS; ++g)
                if (!fmsim_acl_rules(0, g).empty())
                    fail("rule", "rules stay in ACL " + std::to_string(g));
    }

    int mcast_ = -1;
    std::map<std::string, std::uint64_t> setup_calls_;
};

// One combination: the operation that fails and at which call; an empty
// name is the run without a fault.
struct Combo {
    std::string op;
    int nth = 0;
    std::string name() const { return op.empty() ? "(no fault)" : op + "#" + std::to_string(nth); }
};

struct Outcome {
    std::vector<Finding> findings;
    std::map<std::string, std::uint64_t> calls;  // the run without a fault reports these
    bool leak = false;
};

std::string read_all(int fd) {
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

std::string tail(const std::string &s, size_t lines) {
    size_t pos = s.size();
    for (size_t i = 0; i <= lines && pos > 0; ++i) {
        size_t p = s.rfind('\n', pos - 1);
        if (p == std::string::npos) return s;
        pos = p;
    }
    return s.substr(pos + 1);
}

std::string head(const std::string &s, size_t lines) {
    size_t pos = 0;
    for (size_t i = 0; i < lines; ++i) {
        size_t p = s.find('\n', pos);
        if (p == std::string::npos) return s;
        pos = p + 1;
    }
    return s.substr(0, pos);
}

std::string one_line(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\t', ' ');
    return s;
}

// The child's side: the run, its checks, and the findings written to out.
[[noreturn]] void child(const Combo &c, int out) {
    Workload w;
    w.run(c.op, c.nth);
    std::string text;
    if (c.op.empty())
        for (const std::string &op : fmsim_operations())
            text += "calls\t" + op + "\t" + std::to_string(w.workload_calls(op)) + "\n";
    w.alive();
    for (const Finding &f : w.found) text += f.kind + "\t" + one_line(f.text) + "\n";
#ifdef KELF_SWEEP_LSAN
    std::fflush(stderr);
    if (__lsan_do_recoverable_leak_check() != 0) text += "leak\t\n";
#endif
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(out, text.data() + done, text.size() - done);
        if (n <= 0) _exit(3);
        done += static_cast<size_t>(n);
    }
    // No exit handlers: the parent's gtest and LeakSanitizer state is not
    // the child's to report.
    _exit(0);
}

int temp_fd() {
    char path[] = "/tmp/kelf-sweep-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) unlink(path);
    return fd;
}

Outcome run_combo(const Combo &c) {
    Outcome o;
    int out = temp_fd(), err = temp_fd();
    if (out < 0 || err < 0) {
        o.findings.push_back({"crash", "no temporary file for the run"});
        if (out >= 0) close(out);
        if (err >= 0) close(err);
        return o;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        // The child's sanitizer reports go to a file the parent reads.
        dup2(err, 2);
        child(c, out);
    }
    if (pid < 0) {
        o.findings.push_back({"crash", std::string("fork: ") + std::strerror(errno)});
        close(out);
        close(err);
        return o;
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    bool hung = false;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            hung = true;
            kill(pid, SIGKILL);  // pid > 0: the child this run forked
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::string results = read_all(out), errors = read_all(err);
    close(out);
    close(err);
    std::istringstream in(results);
    for (std::string line; std::getline(in, line);) {
        size_t tab = line.find('\t');
        std::string kind = line.substr(0, tab),
                    rest = tab == std::string::npos ? "" : line.substr(tab + 1);
        if (kind == "calls") {
            size_t t2 = rest.find('\t');
            o.calls[rest.substr(0, t2)] = std::stoull(rest.substr(t2 + 1));
        } else if (kind == "leak") {
            o.leak = true;
        } else {
            o.findings.push_back({kind, rest});
        }
    }
    if (hung) {
        o.findings.push_back({"hang", "no end after " + std::to_string(kRunLimit.count()) + " s"});
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string how = WIFSIGNALED(status)
                              ? "signal " + std::to_string(WTERMSIG(status))
                              : "exit status " + std::to_string(WEXITSTATUS(status));
        // The sanitizer's own summary and first frames, else the last lines.
        size_t at = errors.find("ERROR:");
        if (at == std::string::npos) at = errors.find("runtime error");
        std::string what = at != std::string::npos ? head(errors.substr(at), 8) : tail(errors, 12);
        o.findings.push_back({"crash", how + ": " + one_line(what).substr(0, 1500)});
    }
    if (o.leak && (c.op.empty() || !is_delete_op(c.op)))
        o.findings.push_back({"leak", one_line(head(errors, 16))});
    return o;
}

const Known *known_for(const Combo &c, const Finding &f) {
    for (const Known &k : kKnownFaults)
        if (c.op == k.op && (k.nth == 0 || k.nth == c.nth) && f.kind == k.kind) return &k;
    return nullptr;
}

TEST(FaultSweep, EverySdkOperationFailedAtItsFirstThreeCalls) {
    // The run without a fault: it must pass every check, and it tells how
    // often the workload calls each operation.
    Combo clean;
    Outcome base = run_combo(clean);
    for (const Finding &f : base.findings)
        ADD_FAILURE() << "without a fault: [" << f.kind << "] " << f.text;
    ASSERT_FALSE(base.calls.empty()) << "the run without a fault reported no call counts";

    std::vector<std::string> ops = fmsim_operations();
    std::vector<Combo> combos;
    std::vector<std::string> unreached;
    for (const std::string &op : ops) {
        std::uint64_t n = base.calls.count(op) ? base.calls.at(op) : 0;
        if (n == 0) unreached.push_back(op);
        for (int nth = 1; nth <= kMaxNth; ++nth)
            if (n >= static_cast<std::uint64_t>(nth)) combos.push_back({op, nth});
    }

    // A run is clean (no finding), known (only findings of kKnownFaults) or
    // failing (any other finding).
    int clean_runs = 0, known_runs = 0, failing_runs = 0;
    int expected_leaks = 0, expected_faults = 0, failures = 0;
    std::set<const Known *> used;
    std::vector<std::string> report;
    for (const Combo &c : combos) {
        Outcome o = run_combo(c);
        if (o.leak && is_delete_op(c.op)) {
            ++expected_leaks;
            report.push_back("  leak      " + c.name() +
                             " (a delete failed: what it left is lost)");
        }
        bool failing = false;
        for (const Finding &f : o.findings) {
            const Known *k = known_for(c, f);
            if (k) {
                used.insert(k);
                ++expected_faults;
                report.push_back("  expected  " + c.name() + " [" + f.kind + "] " + f.text +
                                 "  -- " + k->reason);
                continue;
            }
            failing = true;
            ++failures;
            report.push_back("  FAILURE   " + c.name() + " [" + f.kind + "] " + f.text);
            ADD_FAILURE() << c.name() << " [" << f.kind << "] " << f.text;
        }
        if (failing)
            ++failing_runs;
        else if (o.findings.empty())
            ++clean_runs;
        else
            ++known_runs;
    }
    for (const Known &k : kKnownFaults)
        if (!used.count(&k))
            ADD_FAILURE() << "expected fault no longer seen, remove it from kKnownFaults: " << k.op
                          << (k.nth ? "#" + std::to_string(k.nth) : std::string()) << " [" << k.kind
                          << "] " << k.reason;

    std::size_t called = ops.size() - unreached.size();
    std::printf("SDK fault sweep\n");
    std::printf("  operations fmsim counts       %zu\n", ops.size());
    std::printf("  called by the workload        %zu\n", called);
    std::printf("  combinations (op x call 1-3)  %zu\n", combos.size());
    std::printf("  runs without a finding        %d\n", clean_runs);
    std::printf("  runs with known faults only   %d (%d findings)\n", known_runs, expected_faults);
    std::printf("  runs failing                  %d (%d findings)\n", failing_runs, failures);
    std::printf("  expected leaks (delete fails) %d\n", expected_leaks);
    std::string names;
    for (const std::string &u : unreached) names += " " + u;
    std::printf("  not called by the workload:%s\n", names.c_str());
    for (const std::string &line : report) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace
