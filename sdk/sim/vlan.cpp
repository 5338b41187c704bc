// vlan.cpp - fmsim's VLANs: existence, member ports with their tagging and
// spanning-tree state, and the reflect attribute.
#include <array>
#include <bitset>
#include <cstring>
#include <vector>

#include "fmsim.h"
#include "fmsim_vlan.h"
#include "sim.h"

namespace {

struct Vlan : fmsim::VlanPorts {
    bool exists = false;
    bool reflect = false;
};

// Per switch, VLANs 0..4095 (0 never exists).
std::vector<std::vector<Vlan>> &vlans() {
    static auto *v = new std::vector<std::vector<Vlan>>;
    return *v;
}

// The VLANs made since the last reset, per switch, each once. Only an
// existing VLAN is ever changed (a deleted one is set back to Vlan{}), so a
// reset that sets these back leaves every VLAN as at power-on, at the cost
// of what was made.
struct Made {
    std::bitset<FM_MAX_VLAN + 1> is;
    std::vector<fm_uint16> ids;
};
std::vector<Made> &made() {
    static auto *m = new std::vector<Made>(FM_MAX_NUM_SWITCHES);
    return *m;
}

void reset_vlans() {
    if (vlans().empty()) vlans().assign(FM_MAX_NUM_SWITCHES, std::vector<Vlan>(FM_MAX_VLAN + 1));
    for (size_t sw = 0; sw < made().size(); ++sw) {
        Made &m = made()[sw];
        for (fm_uint16 id : m.ids) vlans()[sw][id] = Vlan{};
        m.ids.clear();
        m.is.reset();
    }
}

struct Init {
    Init() {
        reset_vlans();
        fmsim::on_reset(reset_vlans);
    }
} init;

// The VLAN, or nullptr; *status says why not.
Vlan *find_vlan(fm_int sw, fm_uint16 id, fm_status *status) {
    if (fmsim::find_switch(sw) == nullptr) {
        *status = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    if (id < 1 || id > FM_MAX_VLAN || !vlans()[static_cast<size_t>(sw)][id].exists) {
        *status = FM_ERR_INVALID_VLAN;
        return nullptr;
    }
    return &vlans()[static_cast<size_t>(sw)][id];
}

}  // namespace

const fmsim::VlanPorts *fmsim::vlan_ports(fm_int sw, int vlan) {
    if (fmsim::find_switch(sw) == nullptr || vlan < 1 || vlan > FM_MAX_VLAN) return nullptr;
    const Vlan &v = vlans()[static_cast<size_t>(sw)][static_cast<size_t>(vlan)];
    return v.exists ? &v : nullptr;
}

extern "C" {

fm_status fmCreateVlan(fm_int sw, fm_uint16 vlanID) {
    FMSIM_ENTER("fmCreateVlan");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (vlanID < 1 || vlanID > FM_MAX_VLAN) return FM_ERR_INVALID_VLAN;
    Vlan &v = vlans()[static_cast<size_t>(sw)][vlanID];
    if (v.exists) return FM_ERR_ALREADY_EXISTS;
    v = Vlan{};
    v.exists = true;
    Made &m = made()[static_cast<size_t>(sw)];
    if (!m.is[vlanID]) m.ids.push_back(vlanID);
    m.is.set(vlanID);
    return FM_OK;
}

fm_status fmDeleteVlan(fm_int sw, fm_uint16 vlanID) {
    FMSIM_ENTER("fmDeleteVlan");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    *v = Vlan{};
    return FM_OK;
}

fm_status fmAddVlanPort(fm_int sw, fm_uint16 vlanID, fm_int port, fm_bool tag) {
    FMSIM_ENTER("fmAddVlanPort");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    int idx = fmsim::port_index(sw, port);
    if (idx < 0) return FM_ERR_INVALID_PORT;
    v->member.set(static_cast<size_t>(idx));
    v->tagged.set(static_cast<size_t>(idx), tag != FALSE);
    return FM_OK;
}

fm_status fmDeleteVlanPort(fm_int sw, fm_uint16 vlanID, fm_int port) {
    FMSIM_ENTER("fmDeleteVlanPort");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    int idx = fmsim::port_index(sw, port);
    if (idx < 0) return FM_ERR_INVALID_PORT;
    if (!v->member.test(static_cast<size_t>(idx))) return FM_ERR_NOT_FOUND;
    v->member.reset(static_cast<size_t>(idx));
    v->tagged.reset(static_cast<size_t>(idx));
    v->stp[static_cast<size_t>(idx)] = FM_STP_STATE_DISABLED;
    return FM_OK;
}

fm_status fmSetVlanPortState(fm_int sw, fm_uint16 vlanID, fm_int port, fm_int state) {
    FMSIM_ENTER("fmSetVlanPortState");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    int idx = fmsim::port_index(sw, port);
    if (idx < 0) return FM_ERR_INVALID_PORT;
    if (state < FM_STP_STATE_DISABLED || state > FM_STP_STATE_BLOCKING)
        return FM_ERR_INVALID_ARGUMENT;
    if (!v->member.test(static_cast<size_t>(idx))) return FM_ERR_INVALID_PORT;
    v->stp[static_cast<size_t>(idx)] = static_cast<std::uint8_t>(state);
    return FM_OK;
}

fm_status fmGetVlanPortState(fm_int sw, fm_uint16 vlanID, fm_int port, fm_int *state) {
    FMSIM_ENTER("fmGetVlanPortState");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    int idx = fmsim::port_index(sw, port);
    if (idx < 0 || !v->member.test(static_cast<size_t>(idx))) return FM_ERR_INVALID_PORT;
    if (state == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *state = v->stp[static_cast<size_t>(idx)];
    return FM_OK;
}

fm_status fmSetVlanAttribute(fm_int sw, fm_uint16 vlanID, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetVlanAttribute");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (attr != FM_VLAN_REFLECT) return FM_ERR_INVALID_ATTRIB;
    fm_bool b;
    std::memcpy(&b, value, sizeof b);
    v->reflect = b != FALSE;
    return FM_OK;
}

fm_status fmGetVlanAttribute(fm_int sw, fm_uint16 vlanID, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetVlanAttribute");
    fm_status st;
    Vlan *v = find_vlan(sw, vlanID, &st);
    if (v == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (attr != FM_VLAN_REFLECT) return FM_ERR_INVALID_ATTRIB;
    fm_bool b = v->reflect ? TRUE : FALSE;
    std::memcpy(value, &b, sizeof b);
    return FM_OK;
}

}  // extern "C"

bool fmsim_vlan_exists(int sw, int vlan) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    return find_vlan(sw, static_cast<fm_uint16>(vlan), &st) != nullptr && vlan >= 1 &&
           vlan <= FM_MAX_VLAN;
}

FmsimVlanMember fmsim_vlan_member(int sw, int vlan, int port) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    FmsimVlanMember m{};
    fm_status st;
    if (vlan < 1 || vlan > FM_MAX_VLAN) return m;
    Vlan *v = find_vlan(sw, static_cast<fm_uint16>(vlan), &st);
    int idx = fmsim::port_index(sw, port);
    if (v == nullptr || idx < 0) return m;
    m.member = v->member.test(static_cast<size_t>(idx));
    m.tagged = v->tagged.test(static_cast<size_t>(idx));
    m.stp_state = v->stp[static_cast<size_t>(idx)];
    return m;
}

bool fmsim_vlan_reflect(int sw, int vlan) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st;
    if (vlan < 1 || vlan > FM_MAX_VLAN) return false;
    Vlan *v = find_vlan(sw, static_cast<fm_uint16>(vlan), &st);
    return v != nullptr && v->reflect;
}
