#include "events.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon.h"
#include "messages.h"
#include "sdk_util.h"

std::atomic<int> link_state[KEL_MAX_UNITS][KEL_MAX_PORTS + 1];

static_assert(kelf::kSetLinkProp == _IOWR('J', 0, fm10k_cmd), "SET_LINK_PROP request code");

namespace kelf {
namespace {

std::atomic<DriverCall> driver_call{driver_device_call};
std::atomic<const char *> driver_device{kDriverDevice};
// Bit sw set once switch sw reported itself inserted (switches 0..31).
std::atomic<unsigned> reported{0};

// Day.month.year hour:minute:second, as the event lines begin.
struct Stamp {
    int day, month, year, hour, min, sec;
};

Stamp now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void switch_inserted(fm_int sw) {
    std::printf(kelf::msg::kSwitchInserted, sw);
    std::fflush(stdout);
    if (sw >= 0 && sw < 32) reported.fetch_or(1u << sw);
    // The start-up reads the flag after it stores switch_count; this side
    // stores the flag before it reads switch_count. Whichever comes second
    // releases.
    if (sw == switch_count.load() - 1) fmReleaseSemaphore(&seq_semaphore);
}

void port_event(fm_int sw, const fm_eventPort &ev) {
    Stamp t = now();
    // Passed on as the number the SDK gave, whatever it is.
    int status;
    std::memcpy(&status, &ev.linkStatus, sizeof status);
    const bool up = status != FM_PORT_STATUS_LINK_DOWN;
    if (foreground.load()) {
        std::printf(kelf::msg::kPortEvent, t.day, t.month, t.year, t.hour, t.min, t.sec, sw,
                    static_cast<int>(ev.port), up ? "up" : "down");
        std::fflush(stdout);
    }
    if (sw >= 0 && sw < KEL_MAX_UNITS && ev.port <= KEL_MAX_PORTS)
        link_state[sw][ev.port].store(up ? 1 : 0);

    auto port = static_cast<fm_int>(ev.port);
    fm_bool pcie = FALSE;
    fm_int ifindex = 0;
    if (fmIsPciePort(sw, port, &pcie) != FM_OK) return;
    if (fmPlatformIfindexSwitchGet(sw, &ifindex) != FM_OK) return;
    if (pcie || ifindex == 0) return;

    LinkProp p{};
    p[0] = ifindex;
    p[1] = port;
    p[2] = status;
    fm_int mode = 0;
    fm_status err = fmGetPortAttribute(sw, port, FM_PORT_ETHERNET_INTERFACE_MODE, &mode);
    cleanup(err, "fmGetPortAttribute FM_PORT_ETHERNET_INTERFACE_MODE");
    p[4] = err == FM_OK ? mode : 0;
    fm_int speed = 0;
    err = fmGetPortAttribute(sw, port, FM_PORT_SPEED, &speed);
    cleanup(err, "fmGetPortAttribute FM_PORT_SPEED");
    p[5] = err == FM_OK ? speed : 0;
    send_link_prop(p);
}

void logical_port_event(fm_int sw, const fm_eventLogicalPort &ev) {
    Stamp t = now();
    if (!foreground.load()) return;
    std::printf(kelf::msg::kLogicalPortEvent, t.day, t.month, t.year, t.hour, t.min, t.sec, sw,
                ev.firstPort, ev.pepId, ev.pepLogicalPort, ev.portCreated);
    std::fflush(stdout);
}

}  // namespace

void driver_device_call(const fm10k_cmd &cmd) {
    // Opened and closed around each request: the driver may go and come back.
    int fd = ::open(driver_device.load(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fm10k_cmd c = cmd;  // the driver may write its answer back
    (void)::ioctl(fd, kSetLinkProp, &c);
    ::close(fd);
}

const char *set_driver_device(const char *path) {
    return driver_device.exchange(path != nullptr ? path : kDriverDevice);
}

DriverCall set_driver_call(DriverCall call) {
    return driver_call.exchange(call != nullptr ? call : driver_device_call);
}

void send_link_prop(const LinkProp &in_param) {
    fm10k_cmd cmd{};
    for (size_t i = 0; i < in_param.size(); ++i) cmd.in_param[i] = in_param[i];
    driver_call.load()(cmd);
}

bool switch_reported(fm_int sw) {
    return sw >= 0 && sw < 32 && (reported.load() >> sw) & 1u;
}

void reset_events() {
    for (auto &sw : link_state)
        for (auto &p : sw) p.store(0);
    reported.store(0);
}

}  // namespace kelf

void eventHandler(fm_int event, fm_int sw, void *ptr) {
    switch (event) {
        case FM_EVENT_SWITCH_INSERTED:
            kelf::switch_inserted(sw);
            break;
        case FM_EVENT_PORT:
            if (ptr != nullptr) kelf::port_event(sw, *static_cast<const fm_eventPort *>(ptr));
            break;
        case FM_EVENT_LOGICAL_PORT:
            if (ptr != nullptr)
                kelf::logical_port_event(sw, *static_cast<const fm_eventLogicalPort *>(ptr));
            break;
        default:
            break;  // the daemon has no use for other events
    }
}
