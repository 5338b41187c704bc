// events.h - the SDK's event callback, the link-state table it keeps, and
// the record that tells the kernel driver a port's link properties.
#pragma once

#include <kelfd/kel_lib.h>

#include <array>
#include <atomic>

#include "fm_sdk.h"

// The kernel driver's request record (SET_LINK_PROP), host byte order.
struct fm10k_cmd {
    int status;
    int data[8];
    int in_param[8];
    int out_param[8];
};
static_assert(sizeof(fm10k_cmd) == 100, "fm10k_cmd is 100 bytes");

// link_state[sw][p]: 1 when the last port event of logical port p (0..48)
// on switch sw reported a link, 0 when it reported none or no event came.
// Written by the SDK's event thread, read by the request loop.
extern std::atomic<int> link_state[KEL_MAX_UNITS][KEL_MAX_PORTS + 1];

// The callback given to fmInitialize; runs on the SDK's event thread.
void eventHandler(fm_int event, fm_int sw, void *ptr);

namespace kelf {

// The driver device and its one request: read-write, 100 bytes, type 'J',
// number 0.
inline constexpr const char *kDriverDevice = "/dev/fm10k0";
inline constexpr unsigned long kSetLinkProp = 0xC0644A00ul;

// in_param of a SET_LINK_PROP record: switch interface index, Ethernet
// port, link state, PCI Express port, interface mode, speed, two unused.
using LinkProp = std::array<int, 8>;

// Sends SET_LINK_PROP with these parameters: the one way a record reaches
// the driver. Everything but in_param is zero.
void send_link_prop(const LinkProp &in_param);

// Where records go. By default the device: open it, one ioctl, close; a
// device that cannot be opened takes nothing, silently. Tests put a
// recorder here; nullptr puts the device back. Returns the previous one.
using DriverCall = void (*)(const fm10k_cmd &cmd);
DriverCall set_driver_call(DriverCall call);
void driver_device_call(const fm10k_cmd &cmd);
// The device driver_device_call opens (kDriverDevice; tests name a file of
// their own). nullptr puts the default back. Returns the previous one.
const char *set_driver_device(const char *path);

// True once switch sw has reported itself inserted. The start-up asks it
// for the last switch: the report may come before the start-up learns how
// many switches there are.
bool switch_reported(fm_int sw);

// Forgets every link state and insertion report (one of the module resets
// of reset_modules()).
void reset_events();

}  // namespace kelf
