// core.cpp - fmsim's platform: switch list, operation registry, fault
// injection, status texts and logging.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fmsim.h"
#include "sim.h"

namespace fmsim {
namespace {

struct SwitchAttr {
    SwitchAttrFn set, get;
};

struct Registry {
    std::map<std::string, Op, std::less<>> ops;
    std::map<fm_int, SwitchAttr> switch_attrs;
    std::vector<std::function<void()>> resets;
    std::vector<Switch> switches;
    int chosen_count = 0;  // 0: from FMSIM_SWITCHES
};

Registry &registry() {
    static Registry *r = new Registry;  // outlives every static user
    return *r;
}

int env_switch_count() {
    const char *v = std::getenv("FMSIM_SWITCHES");
    if (v == nullptr || *v == '\0') return 1;
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (*end != '\0' || n < 1 || n > FM_MAX_NUM_SWITCHES) {
        std::fprintf(stderr, "fmsim: FMSIM_SWITCHES must be a number from 1 to 8, not '%s'\n", v);
        std::exit(2);
    }
    return static_cast<int>(n);
}

// Switch sw as at power-on, built once and kept as its ports and the rest:
// a reset copies from it what a run changed instead of building every port
// again.
struct PowerOn {
    Switch head;  // without its ports
    std::vector<Port> ports;
};
const PowerOn &power_on(int sw) {
    static auto *built = new std::vector<PowerOn>(FM_MAX_NUM_SWITCHES);
    PowerOn &p = (*built)[static_cast<size_t>(sw)];
    if (!p.head.present) {
        build_switch(p.head, sw);
        p.ports.swap(p.head.ports);
    }
    return p;
}

// Sets s back to power-on, copying only what differs: the ports one by one,
// the rest of the switch as a whole.
void restore(Switch &s, const PowerOn &fresh) {
    std::vector<Port> ports;
    ports.swap(s.ports);
    if (!(s == fresh.head)) s = fresh.head;
    if (ports.size() != fresh.ports.size()) {
        ports = fresh.ports;
    } else {
        for (size_t i = 0; i < ports.size(); ++i)
            if (!(ports[i] == fresh.ports[i])) ports[i] = fresh.ports[i];
    }
    s.ports.swap(ports);
}

void build_platform() {
    Registry &r = registry();
    int count = r.chosen_count ? r.chosen_count : env_switch_count();
    r.switches.resize(static_cast<size_t>(count));
    for (int sw = 0; sw < count; ++sw) restore(r.switches[static_cast<size_t>(sw)], power_on(sw));
}

bool parse_number(std::string_view s, std::int64_t *out) {
    if (s.empty()) return false;
    bool neg = false;
    if (s.front() == '-') {
        neg = true;
        s.remove_prefix(1);
        if (s.empty()) return false;
    }
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (v > 1'000'000'000'000) return false;
        v = v * 10 + (c - '0');
    }
    *out = neg ? -v : v;
    return true;
}

// Reads FMSIM_FAIL when the library is loaded, so that a malformed value
// stops the process before it does anything.
struct EnvFaults {
    EnvFaults() {
        build_platform();
        const char *v = std::getenv("FMSIM_FAIL");
        if (v == nullptr || *v == '\0') return;
        std::string err;
        if (!fmsim_fail_parse(v, &err)) {
            std::fprintf(stderr, "fmsim: FMSIM_FAIL: %s\n", err.c_str());
            std::exit(2);
        }
    }
} env_faults;

}  // namespace

std::recursive_mutex &mutex() {
    static std::recursive_mutex *m = new std::recursive_mutex;
    return *m;
}

Op &op(const char *name) {
    std::lock_guard<std::recursive_mutex> g(mutex());
    auto &ops = registry().ops;
    auto it = ops.find(std::string_view(name));
    if (it == ops.end()) it = ops.emplace(name, Op{name, 0, {}}).first;
    return it->second;
}

bool declare_op(const char *name) {
    std::lock_guard<std::recursive_mutex> g(mutex());
    op(name).sdk = true;
    return true;
}

fm_status enter(Op &o) {
    std::uint64_t n = ++o.calls;
    for (const Fault &f : o.faults) {
        if (n < f.nth) continue;
        if (f.times < 0 || n - f.nth < static_cast<std::uint64_t>(f.times)) return f.status;
    }
    return FM_OK;
}

void on_reset(std::function<void()> fn) {
    std::lock_guard<std::recursive_mutex> g(mutex());
    registry().resets.push_back(std::move(fn));
}

void register_switch_attr(fm_int attr, SwitchAttrFn set, SwitchAttrFn get) {
    std::lock_guard<std::recursive_mutex> g(mutex());
    registry().switch_attrs[attr] = {std::move(set), std::move(get)};
}

std::vector<Switch> &switches() {
    return registry().switches;
}

Switch *find_switch(fm_int sw) {
    auto &s = registry().switches;
    if (sw < 0 || static_cast<size_t>(sw) >= s.size() || !s[static_cast<size_t>(sw)].present)
        return nullptr;
    return &s[static_cast<size_t>(sw)];
}

}  // namespace fmsim

using fmsim::registry;

void fmsim_reset() {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    auto &r = registry();
    for (auto &[name, o] : r.ops) {
        o.calls = 0;
        o.faults.clear();
    }
    fmsim::build_platform();
    for (auto &fn : r.resets) fn();
}

void fmsim_set_switches(int count) {
    {
        std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
        if (count < 1) count = 1;
        if (count > FM_MAX_NUM_SWITCHES) count = FM_MAX_NUM_SWITCHES;
        registry().chosen_count = count;
    }
    fmsim_reset();
}

int fmsim_num_switches() {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    return static_cast<int>(registry().switches.size());
}

void fmsim_fail(const std::string &name, std::uint64_t nth, fm_status status, std::int64_t times) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fmsim::Op &o = fmsim::op(name.c_str());
    o.faults.push_back({nth == 0 ? 1 : nth, status, times});
}

void fmsim_fail_clear() {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    for (auto &[name, o] : registry().ops) o.faults.clear();
}

std::vector<std::string> fmsim_operations() {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    std::vector<std::string> names;
    for (const auto &[name, o] : registry().ops)
        if (o.sdk) names.push_back(name);
    return names;
}

std::uint64_t fmsim_calls(const std::string &name) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    auto &ops = registry().ops;
    auto it = ops.find(name);
    return it == ops.end() ? 0 : it->second.calls;
}

bool fmsim_fail_parse(const std::string &list, std::string *error) {
    struct Entry {
        std::string op;
        std::int64_t nth;
        std::int64_t status;
    };
    std::vector<Entry> entries;
    std::string_view rest(list);
    while (true) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        auto bad = [&](const char *why) {
            if (error) *error = "bad entry '" + std::string(item) + "': " + why;
            return false;
        };
        Entry e{"", 1, FM_FAIL};
        size_t eq = item.find('=');
        std::string_view head = item.substr(0, eq);
        if (eq != std::string_view::npos) {
            if (!fmsim::parse_number(item.substr(eq + 1), &e.status))
                return bad("status after '=' must be a number");
            if (e.status == 0) return bad("status 0 is success, not a failure");
        }
        size_t hash = head.find('#');
        std::string_view name = head.substr(0, hash);
        if (hash != std::string_view::npos) {
            if (!fmsim::parse_number(head.substr(hash + 1), &e.nth) || e.nth < 1)
                return bad("call number after '#' must be 1 or more");
        }
        if (name.empty()) return bad("operation name missing");
        for (char c : name) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_';
            if (!ok) return bad("operation name may hold letters, digits and '_' only");
        }
        e.op = std::string(name);
        entries.push_back(e);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    for (const Entry &e : entries)
        fmsim_fail(e.op, static_cast<std::uint64_t>(e.nth), static_cast<fm_status>(e.status), 1);
    return true;
}

extern "C" const char *fmErrorMsg(fm_status status) {
    switch (status) {
        case FM_OK:
            return "Success";
        case FM_FAIL:
            return "Failure";
        case FM_ERR_INVALID_ARGUMENT:
            return "Invalid argument";
        case FM_ERR_INVALID_SWITCH:
            return "Invalid switch number";
        case FM_ERR_INVALID_PORT:
            return "Invalid port number";
        case FM_ERR_INVALID_ATTRIB:
            return "Invalid attribute";
        case FM_ERR_NO_MEM:
            return "Out of memory";
        case FM_ERR_UNSUPPORTED:
            return "Operation not supported";
        case FM_ERR_INVALID_VLAN:
            return "Invalid VLAN";
        case FM_ERR_INVALID_ACL:
            return "Invalid ACL";
        case FM_ERR_INVALID_ACL_RULE:
            return "Invalid ACL rule";
        case FM_ERR_ALREADY_EXISTS:
            return "Entry already exists";
        case FM_ERR_NOT_FOUND:
            return "Entry not found";
        case FM_ERR_NO_MORE:
            return "No more entries";
        case FM_ERR_TABLE_FULL:
            return "Table full";
        case FM_ERR_INVALID_LBG:
            return "Invalid load-balancing group";
        case FM_ERR_INVALID_MIRROR:
            return "Invalid mirror group";
        case FM_ERR_INVALID_MULTICAST_GROUP:
            return "Invalid multicast group";
        case FM_ERR_MCAST_GROUP_ACTIVE:
            return "Multicast group is active";
        case FM_ERR_SWITCH_NOT_UP:
            return "Switch is not up";
        case FM_ERR_SEM_TIMEOUT:
            return "Semaphore wait timed out";
        case FM_ERR_INVALID_TRIGGER:
            return "Invalid trigger";
        case FM_ERR_ACL_COMPILE:
            return "ACL compilation failed";
        case FM_ERR_INVALID_PORT_SET:
            return "Invalid port set";
        case FM_ERR_INVALID_INDEX:
            return "Index out of range";
        case FM_ERR_UNINITIALIZED:
            return "Not initialized";
        case FM_ERR_INVALID_STATE:
            return "Invalid state";
        case FM_ERR_PLATFORM:
            return "Platform access failed";
        case FM_ERR_BUFFER_FULL:
            return "Buffer too small";
        case FM_ERR_INVALID_VALUE:
            return "Invalid value";
        default:
            return "Unknown error";
    }
}

extern "C" fm_status fmLogMessage(fm_uint64 categories, fm_uint64 level, const char *srcFile,
                                  const char *srcFunction, fm_uint32 srcLine, const char *format,
                                  ...) {
    (void)categories;
    char msg[1024];
    va_list ap;
    va_start(ap, format);
    msg[0] = '\0';
    if (format != nullptr) std::vsnprintf(msg, sizeof msg, format, ap);
    va_end(ap);
    size_t len = std::strlen(msg);
    const char *base = srcFile ? std::strrchr(srcFile, '/') : nullptr;
    std::printf("[%" PRIu64 "] %s:%u: %s: %s%s", level, base ? base + 1 : (srcFile ? srcFile : "?"),
                srcLine, srcFunction ? srcFunction : "?", msg,
                (len && msg[len - 1] == '\n') ? "" : "\n");
    std::fflush(stdout);
    return FM_OK;
}

extern "C" fm_status fmMemset_s(void *dest, fm_uint64 destSize, fm_int c, fm_uint64 n) {
    FMSIM_ENTER("fmMemset_s");
    if (dest == nullptr) return FM_ERR_INVALID_ARGUMENT;
    if (n > destSize) {
        std::memset(dest, c, destSize);
        return FM_ERR_INVALID_ARGUMENT;
    }
    std::memset(dest, c, n);
    return FM_OK;
}

extern "C" fm_status fmPlatformGetNumSwitches(fm_int *numSwitches) {
    FMSIM_ENTER("fmPlatformGetNumSwitches");
    if (numSwitches == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *numSwitches = static_cast<fm_int>(fmsim::switches().size());
    return FM_OK;
}

extern "C" fm_status fmSetSwitchAttribute(fm_int sw, fm_int attr, void *value) {
    FMSIM_ENTER("fmSetSwitchAttribute");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto &attrs = registry().switch_attrs;
    auto it = attrs.find(attr);
    if (it == attrs.end() || !it->second.set) return FM_ERR_INVALID_ATTRIB;
    return it->second.set(sw, value);
}

extern "C" fm_status fmGetSwitchAttribute(fm_int sw, fm_int attr, void *value) {
    FMSIM_ENTER("fmGetSwitchAttribute");
    if (fmsim::find_switch(sw) == nullptr) return FM_ERR_INVALID_SWITCH;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto &attrs = registry().switch_attrs;
    auto it = attrs.find(attr);
    if (it == attrs.end() || !it->second.get) return FM_ERR_INVALID_ATTRIB;
    return it->second.get(sw, value);
}
