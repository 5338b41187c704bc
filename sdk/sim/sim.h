// sim.h - fmsim's inner workings, shared by its source files only.
//
// One recursive lock guards the whole simulated platform: the daemon's main
// thread, the SDK event thread and tests call in together. Every SDK
// operation starts with FMSIM_ENTER, which takes the lock, counts the call
// and returns the status a test injected for it, if any.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fm_sdk.h"

namespace fmsim {

// Highest logical port that a port mask can name, plus one.
inline constexpr int kMaskBits = 64;
// Logical ports outside the cardinal list, as a real switch has for its
// internal and tunnel ports.
inline constexpr int kFirstExtraPort = 50000;
inline constexpr int kExtraPorts = 4;
inline constexpr int kDefaultCardPorts = 49;

struct Fault {
    std::uint64_t nth;  // 1-based call number that fails first
    fm_status status;
    std::int64_t times;  // how many calls fail from nth on; -1 for all
};

struct Op {
    std::string name;
    std::uint64_t calls = 0;
    std::vector<Fault> faults;
    bool sdk = false;  // an SDK operation fmsim implements, not a name a test made up
};

std::recursive_mutex &mutex();
Op &op(const char *name);
fm_status enter(Op &op);
// Marks name as an operation fmsim implements; the registry lists it from
// load time on, before its first call.
bool declare_op(const char *name);

// An operation's name as a template argument, so that each operation
// declares itself while the library loads (a static member's initialiser)
// rather than at its first call: the tests can then list every operation,
// called or not.
template <std::size_t N>
struct OpName {
    char text[N]{};
    constexpr OpName(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};
template <OpName Name>
struct Declared {
    static inline const bool value = declare_op(Name.text);
};

// State reset hooks: each part of the simulation registers one, and
// fmsim_reset() runs them all after rebuilding the switches.
void on_reset(std::function<void()> fn);

enum class PortKind { Cpu, Ethernet, Pcie, Internal };

struct Port {
    fm_int logical = 0;
    PortKind kind = PortKind::Ethernet;
    fm_uint32 glort = 0;
    fm_int mode = FM_PORT_STATE_ADMIN_DOWN;
    fm_int submode = 0;
    std::map<fm_int, fm_int32> attrs;
    // Copies of the attributes every frame reads, kept by sync_attrs()
    // whenever attrs changes, so that the pipeline reads no map.
    fm_int32 def_vlan = 1;
    fm_int32 max_frame_size = 1536;
    std::bitset<kMaskBits> mask;
    fm_int loopback = 0;
};

struct Switch {
    bool present = false;
    bool up = false;
    int card_ports = kDefaultCardPorts;
    std::vector<Port> ports;  // cardinal ports, then the extra logical ports
};

// Switch attributes are kept by the part of the simulation that owns them:
// each registers its attributes once, at load (fmsim is a shared library, so
// every part's registration runs).
using SwitchAttrFn = std::function<fm_status(fm_int sw, void *value)>;
void register_switch_attr(fm_int attr, SwitchAttrFn set, SwitchAttrFn get);

// The number stored in an enum member, read as the int it is: a caller may
// have stored any number there, and loading it as the enum would be wrong.
template <class E>
fm_int raw_enum(const E &e) {
    static_assert(sizeof(E) == sizeof(fm_int));
    fm_int v;
    std::memcpy(&v, &e, sizeof v);
    return v;
}

// Refreshes a port's copies of its attributes from attrs.
void sync_attrs(Port &p);

// Index of a port in Switch::ports (cardinal ports first), or -1.
int port_index(fm_int sw, fm_int port);
// The same for a switch in hand, without finding it again.
int port_index(const Switch &s, fm_int port);
// Largest number of ports a switch has: the index bound of per-port tables.
inline constexpr int kMaxPortIndex = 64;

// The platform's switches; index = switch number.
std::vector<Switch> &switches();
// The switch, or nullptr when sw names no switch of the platform.
Switch *find_switch(fm_int sw);
// The port with logical number port, or nullptr.
Port *find_port(fm_int sw, fm_int port);
// Rebuilds a switch in its power-on state.
void build_switch(Switch &s, int sw);
// Tells the event thread that a port's state (or its switch's) changed, so
// that a link change is reported. Called with the lock held.
void port_mode_changed(fm_int sw, const Port &p);

// What the forwarding pipeline reads of the other parts of the simulation.
// Each is called with the lock held; a pointer stays valid until the next
// change to the switch.

// A VLAN's ports by port index (Switch::ports), or nullptr when the VLAN
// does not exist.
struct VlanPorts {
    std::bitset<kMaxPortIndex> member, tagged;
    std::array<std::uint8_t, kMaxPortIndex> stp{};
};
const VlanPorts *vlan_ports(fm_int sw, int vlan);

// A load-balancing group, or false when it does not exist.
struct LbgView {
    bool active = false;
    bool mapped = false;
    const std::vector<fm_int> *bins = nullptr;
};
bool lbg_view(fm_int sw, fm_int lbg, LbgView *out);

struct MirrorView {
    fm_int id = 0;
    fm_int port = 0;
    fm_int type = 0;
    fm_int vlan = -1;
    bool acl = false;
    const std::set<fm_int> *monitored = nullptr;
};
// Every mirror of the switch, by number, into *out (cleared first).
void mirror_views(fm_int sw, std::vector<MirrorView> *out);
bool mirror_view(fm_int sw, fm_int mirror, MirrorView *out);

// True when port is the logical port of one of the switch's multicast groups.
bool mcast_port(fm_int sw, fm_int port);
// The group behind a multicast logical port and its listeners (VLAN, port),
// by VLAN then port; false when no group has that port.
bool mcast_listeners(fm_int sw, fm_int port, fm_int *group, bool *active,
                     std::vector<std::pair<int, int>> *listeners);

// The hash settings every port uses: those of profile 0.
const fm_L2HashKey &l2_hash_key(fm_int sw);
const fm_L3HashConfig &l3_hash_config(fm_int sw);

// A port's counters by port index; nullptr when out of range.
fm_portCounters *port_counters(fm_int sw, int index);

// One kind of numbered object of every switch (load-balancing groups,
// mirrors, multicast groups), ordered by number and emptied by
// fmsim_reset(). Instances are made once and never destroyed, so that no
// thread finds one gone while the process exits.
template <typename T>
class ObjectTable {
public:
    // missing: the status for a number that names no object.
    explicit ObjectTable(fm_status missing) : missing_(missing) {
        reset();
        on_reset([this] { reset(); });
    }
    ObjectTable(const ObjectTable &) = delete;
    ObjectTable &operator=(const ObjectTable &) = delete;

    // The switch's objects by number, or nullptr when sw names no switch.
    std::map<fm_int, T> *of(fm_int sw) {
        return find_switch(sw) ? &tables_[static_cast<size_t>(sw)] : nullptr;
    }
    // The object, or nullptr with *status saying why not.
    T *find(fm_int sw, fm_int id, fm_status *status) {
        auto *t = of(sw);
        if (t == nullptr) {
            *status = FM_ERR_INVALID_SWITCH;
            return nullptr;
        }
        auto it = t->find(id);
        if (it == t->end()) {
            *status = missing_;
            return nullptr;
        }
        return &it->second;
    }
    // The lowest number no object of the switch holds: the first gap.
    static fm_int lowest_free(const std::map<fm_int, T> &t) {
        fm_int n = 0;
        for (const auto &e : t) {
            if (e.first != n) break;
            ++n;
        }
        return n;
    }
    // Numbers of the switch's objects, ascending; for inspection.
    std::vector<int> numbers(fm_int sw) {
        std::vector<int> r;
        if (auto *t = of(sw))
            for (const auto &e : *t) r.push_back(e.first);
        return r;
    }

private:
    void reset() { tables_.assign(FM_MAX_NUM_SWITCHES, {}); }
    fm_status missing_;
    std::vector<std::map<fm_int, T>> tables_;
};

// The switch's rules in force and its port sets, as the classifier reads
// them (acl.cpp keeps both); with the lock held.
class Classifier;
const Classifier &live_rules(fm_int sw);
const std::map<fm_int, std::set<fm_int>> &port_sets(fm_int sw);

}  // namespace fmsim

#define FMSIM_ENTER(name)                                                          \
    (void)::fmsim::Declared<name>::value;                                          \
    static ::fmsim::Op &fmsim_op_ = ::fmsim::op(name);                             \
    std::lock_guard<std::recursive_mutex> fmsim_guard_(::fmsim::mutex());          \
    if (fm_status fmsim_fault_ = ::fmsim::enter(fmsim_op_); fmsim_fault_ != FM_OK) \
    return fmsim_fault_
