// state_view.h - what the daemon's tables and fmsim's switches hold, as
// text: two views are equal when the daemon and the switches would answer
// every request alike. The reset test compares the view after a run and a
// reset with the view of a fresh start. Free of any test framework.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "events.h"
#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "fmsim_counters.h"
#include "fmsim_events.h"
#include "fmsim_lbg.h"
#include "fmsim_mcast.h"
#include "fmsim_mirror.h"
#include "fmsim_platform.h"
#include "fmsim_switch.h"
#include "fmsim_vlan.h"
#include "ports/ports.h"
#include "rules/rule_match.h"
#include "rules/rule_table.h"

namespace kelftest {

namespace view_detail {

template <typename T>
std::string bytes(const T &v) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    const auto *p = reinterpret_cast<const unsigned char *>(&v);
    for (std::size_t i = 0; i < sizeof v; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

inline std::string list(const std::vector<int> &v) {
    std::string s;
    for (int x : v) s += " " + std::to_string(x);
    return s;
}

inline void ports(std::ostringstream &o, int sw) {
    const int kAttrs[] = {FM_PORT_DEF_VLAN,
                          FM_PORT_MAX_FRAME_SIZE,
                          FM_PORT_RX_PAUSE,
                          FM_PORT_ISL_TAG_FORMAT,
                          FM_PORT_SPEED,
                          FM_PORT_TXVPRI,
                          FM_PORT_LOOPBACK,
                          FM_PORT_PARSER,
                          FM_PORT_UPDATE_TTL,
                          FM_PORT_LOOPBACK_SUPPRESSION,
                          FM_PORT_ETHERNET_INTERFACE_MODE,
                          FM_PORT_ROUTED_FRAME_UPDATE_FIELDS};
    std::vector<int> logical;
    for (int p = 0; p < 64; ++p) logical.push_back(p);
    for (int p = 50000; p < 50004; ++p) logical.push_back(p);
    for (int p : logical) {
        if (!fmsim_port_exists(sw, p)) continue;
        int mode = 0, submode = 0;
        fmsim_port_state(sw, p, &mode, &submode);
        o << " port " << p << " state " << mode << "/" << submode << " mask " << std::hex
          << fmsim_port_mask(sw, p) << std::dec;
        for (int a : kAttrs) {
            std::int32_t v = 0;
            if (fmsim_port_attr(sw, p, a, &v)) o << " " << a << "=" << v;
        }
        fm_portCounters c{};
        if (fmsim_get_port_counters(sw, p, &c)) o << " counters " << bytes(c);
        o << " link " << fmsim_port_link(sw, p) << "\n";
    }
}

inline void objects(std::ostringstream &o, int sw) {
    for (int vlan = 1; vlan <= FM_MAX_VLAN; ++vlan) {
        if (!fmsim_vlan_exists(sw, vlan)) continue;
        o << " vlan " << vlan << " reflect " << fmsim_vlan_reflect(sw, vlan);
        for (int p = 0; p < 64; ++p) {
            FmsimVlanMember m = fmsim_vlan_member(sw, vlan, p);
            if (m.member || m.tagged || m.stp_state != 0)
                o << " " << p << ":" << m.member << m.tagged << m.stp_state;
        }
        o << "\n";
    }
    for (int acl = 0; acl < KEL_MAX_GROUPS; ++acl) {
        if (!fmsim_acl_exists(sw, acl)) continue;
        std::uint32_t scenarios = 0;
        int precedence = 0;
        fmsim_acl_args(sw, acl, &scenarios, &precedence);
        o << " acl " << acl << " " << scenarios << "/" << precedence;
        for (int r : fmsim_acl_rules(sw, acl)) {
            FmsimAclRule rule{};
            fmsim_acl_rule(sw, acl, r, &rule);
            o << " rule " << r << " " << rule.cond << " " << bytes(rule.value) << " " << rule.action
              << " " << bytes(rule.param) << " " << rule.frames;
        }
        o << "\n";
    }
    o << " in force " << fmsim_acl_in_force(sw) << " port sets " << fmsim_port_set_count(sw)
      << "\n";
    for (int lbg : fmsim_lbg_list(sw)) {
        FmsimLbg g = fmsim_lbg(sw, lbg);
        o << " lbg " << lbg << " " << g.mode << "/" << g.state << list(g.bins) << "\n";
    }
    for (int m : fmsim_mirror_list(sw)) {
        FmsimMirror g = fmsim_mirror(sw, m);
        o << " mirror " << m << " " << g.mirror_port << "/" << g.type << "/" << g.vlan << "/"
          << g.acl << list(g.ports) << "\n";
    }
    for (int m : fmsim_mcast_list(sw)) {
        FmsimMcastGroup g = fmsim_mcast_group(sw, m);
        o << " mcast " << m << " " << g.active << g.l2_only << g.l3_only << " " << g.port;
        for (const FmsimMcastListener &l : g.listeners)
            o << " " << l.vlan << ":" << l.port << ":" << l.flood << ":" << l.xcast_glort << ":"
              << l.remote;
        o << "\n";
    }
}

inline void settings(std::ostringstream &o, int sw) {
    for (int profile = 0; profile < FM_HASH_PROFILES; ++profile) {
        fm_L2HashKey l2{};
        l2.profileIndex = profile;
        fm_L3HashConfig l3{};
        l3.profileIndex = profile;
        fm_status s2 = fmGetSwitchAttribute(sw, FM_L2_HASH_KEY, &l2);
        fm_status s3 = fmGetSwitchAttribute(sw, FM_L3_HASH_CONFIG, &l3);
        o << " hash " << profile << " " << s2 << bytes(l2) << " " << s3 << bytes(l3) << "\n";
    }
    o << " gpio";
    for (int g = 0; g < FM_PLAT_NUM_GPIO; ++g) {
        int dir = 0, value = 0;
        fmsim_gpio_line(sw, g, &dir, &value);
        o << " " << dir << value;
    }
    for (FmsimI2cBus bus : {FmsimI2cBus::Bypass, FmsimI2cBus::Temp, FmsimI2cBus::Temp1}) {
        FmsimI2cTransfer t = fmsim_i2c_last(sw, bus);
        o << " i2c " << t.device << "/" << t.write_length << "/" << t.read_length << "/"
          << t.transfers;
    }
    o << " up " << fmsim_switch_up(sw) << " present " << fmsim_switch_present(sw) << "\n";
}

}  // namespace view_detail

// The switches' view, then the daemon's: rule tables (ids by slot and the
// automatic-id cursor), port sets, operating configurations, link table and
// the daemon's flags.
inline std::string state_view(int switches) {
    std::ostringstream o;
    o << "switches " << fmsim_num_switches() << "\n";
    for (int sw = 0; sw < switches; ++sw) {
        o << "switch " << sw << "\n";
        view_detail::ports(o, sw);
        view_detail::objects(o, sw);
        view_detail::settings(o, sw);
    }
    for (int unit = 0; unit < KEL_MAX_UNITS; ++unit) {
        o << "unit " << unit;
        for (int g = 0; g < KEL_MAX_GROUPS; ++g) {
            const kel_acl_t &t = kel_acl[unit][g];
            o << " g" << g << ":" << t.count() << "/" << kel_cur_rule[unit][g];
            for (int s = t.next_taken(0); s >= 0; s = t.next_taken(s + 1))
                o << " " << s << "=" << t.at(s)->rule_id << "@" << t.at(s)->port;
        }
        o << " port sets";
        for (int i = 0; i < 4; ++i) o << " " << portSet[unit][i];
        o << "\n links";
        for (int p = 0; p <= KEL_MAX_PORTS; ++p) o << " " << link_state[unit][p].load();
        o << "\n";
    }
    for (int p = 0; p <= KEL_MAX_PORTS; ++p) o << " cfg " << kel_get_cfg_fn(p);
    o << "\ninserted " << kel_inserted << " remain " << kel_get_sw_remain_fn() << "\n";
    return o.str();
}

}  // namespace kelftest
