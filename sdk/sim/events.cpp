// events.cpp - fmsim's SDK start (fmInitialize) and its event thread.
//
// The event thread delivers what the switches report (insertion, link
// changes, events posted by tests) to the callback given to fmInitialize.
// It never holds fmsim's lock while it calls the callback: the callback
// makes SDK calls of its own, and the main thread keeps calling the SDK.
#include "events.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "fmsim.h"
#include "fmsim_events.h"
#include "sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long after a port comes up (or goes down) its link change is reported.
constexpr auto kLinkDelay = std::chrono::milliseconds(5);

struct Event {
    fm_int type = 0;
    fm_int sw = 0;
    std::variant<std::monostate, fm_eventPort, fm_eventLogicalPort> payload;
};

using Key = std::pair<Clock::time_point, std::uint64_t>;  // due time, then arrival

struct Events {
    std::mutex m;  // guards everything below; taken after fmsim's lock, never before
    std::condition_variable wake, idle;
    std::map<Key, Event> queue;
    std::uint64_t seq = 0;
    fm_eventHandler handler = nullptr;
    bool initialized = false;
    int in_flight = 0;
    unsigned long delivered = 0;
    bool stop = false;
    std::array<std::array<bool, fmsim::kMaxPortIndex>, FM_MAX_NUM_SWITCHES> link{};
    std::thread thread;

    ~Events() {
        {
            std::lock_guard<std::mutex> g(m);
            stop = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }

    void push(Clock::time_point due, Event ev) {
        queue.emplace(Key{due, seq++}, std::move(ev));
        wake.notify_all();
    }

    void run() {
        std::unique_lock<std::mutex> lk(m);
        while (!stop) {
            if (queue.empty()) {
                idle.notify_all();
                wake.wait(lk);
                continue;
            }
            auto it = queue.begin();
            // A copy: the entry may be dropped while this thread waits.
            const Clock::time_point due = it->first.first;
            if (due > Clock::now()) {
                wake.wait_until(lk, due);
                continue;
            }
            Event ev = std::move(it->second);
            queue.erase(it);
            fm_eventHandler h = handler;
            if (h == nullptr) continue;
            ++in_flight;
            lk.unlock();
            deliver(h, ev);
            lk.lock();
            --in_flight;
            ++delivered;
        }
    }

    static void deliver(fm_eventHandler h, Event &ev) {
        void *ptr = nullptr;
        if (auto *p = std::get_if<fm_eventPort>(&ev.payload)) ptr = p;
        if (auto *p = std::get_if<fm_eventLogicalPort>(&ev.payload)) ptr = p;
        h(ev.type, ev.sw, ptr);
    }
};

Events &events() {
    static Events e;  // its thread is joined when the process exits
    return e;
}

void reset_events() {
    Events &e = events();
    std::lock_guard<std::mutex> g(e.m);
    e.queue.clear();
    e.handler = nullptr;
    e.initialized = false;
    e.delivered = 0;
    for (auto &sw : e.link) sw.fill(false);
    e.idle.notify_all();
}

struct Init {
    Init() {
        events();
        fmsim::on_reset(reset_events);
    }
} init;

bool valid_sw(fm_int sw) {
    return sw >= 0 && sw < FM_MAX_NUM_SWITCHES;
}

// Queues an event due now; false when nobody listens or sw is unknown.
bool post(Event ev) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    if (fmsim::find_switch(ev.sw) == nullptr) return false;
    Events &e = events();
    std::lock_guard<std::mutex> l(e.m);
    if (!e.initialized) return false;
    e.push(Clock::now(), std::move(ev));
    return true;
}

struct StartHookEntry {
    int rank;
    fmsim::StartHook run;
};

std::vector<StartHookEntry> &start_hooks() {
    static std::vector<StartHookEntry> hooks;  // made by the first registration
    return hooks;
}

}  // namespace

namespace fmsim {

bool add_start_hook(int rank, StartHook hook) {
    auto &hooks = start_hooks();
    auto at = std::find_if(hooks.begin(), hooks.end(),
                           [rank](const StartHookEntry &h) { return h.rank > rank; });
    hooks.insert(at, StartHookEntry{rank, hook});
    return true;
}

bool sdk_initialized() {
    std::lock_guard<std::mutex> g(events().m);
    return events().initialized;
}

void drop_switch_events(fm_int sw) {
    Events &e = events();
    std::lock_guard<std::mutex> g(e.m);
    for (auto it = e.queue.begin(); it != e.queue.end();)
        it = it->second.sw == sw ? e.queue.erase(it) : std::next(it);
    if (valid_sw(sw)) e.link[static_cast<size_t>(sw)].fill(false);
}

// An Ethernet port has link while it is set up on a switch that is up; a
// change is reported shortly after, as the wire settles. Called with fmsim's
// lock held.
void port_mode_changed(fm_int sw, const Port &p) {
    if (p.kind != PortKind::Ethernet || !valid_sw(sw)) return;
    Switch *s = find_switch(sw);
    int idx = port_index(sw, p.logical);
    if (s == nullptr || idx < 0) return;
    bool up = s->up && p.mode == FM_PORT_STATE_UP;
    Events &e = events();
    std::lock_guard<std::mutex> g(e.m);
    if (!e.initialized) return;
    bool &link = e.link[static_cast<size_t>(sw)][static_cast<size_t>(idx)];
    if (link == up) return;
    link = up;
    fm_eventPort ev{};
    ev.port = static_cast<fm_uint>(p.logical);
    ev.linkStatus = up ? FM_PORT_STATUS_LINK_UP : FM_PORT_STATUS_LINK_DOWN;
    ev.activeMac = TRUE;
    e.push(Clock::now() + kLinkDelay, Event{FM_EVENT_PORT, sw, ev});
}

}  // namespace fmsim

extern "C" fm_status fmInitialize(fm_eventHandler handler) {
    FMSIM_ENTER("fmInitialize");
    if (!fmsim::os_initialized()) return FM_ERR_UNINITIALIZED;
    Events &e = events();
    std::lock_guard<std::mutex> g(e.m);
    if (e.initialized) return FM_ERR_INVALID_STATE;
    // Frames from outside come in once per process, with the first start.
    static const fm_status outside = []() -> fm_status {
        for (const StartHookEntry &h : start_hooks())
            if (fm_status st = h.run(); st != FM_OK) return st;
        return FM_OK;
    }();
    if (outside != FM_OK) return outside;
    e.initialized = true;
    e.handler = handler;
    if (!e.thread.joinable()) e.thread = std::thread([&e] { e.run(); });
    // Every switch of the platform reports itself at once, in order.
    auto now = Clock::now();
    auto &all = fmsim::switches();
    for (size_t sw = 0; sw < all.size(); ++sw)
        if (all[sw].present)
            e.push(now, Event{FM_EVENT_SWITCH_INSERTED, static_cast<fm_int>(sw), {}});
    return FM_OK;
}

bool fmsim_post_port_event(int sw, fm_uint port, fm_portLinkStatus status) {
    fm_eventPort ev{};
    ev.port = port;
    ev.linkStatus = status;
    ev.activeMac = TRUE;
    return post(Event{FM_EVENT_PORT, sw, ev});
}

bool fmsim_post_logical_port_event(int sw, const fm_eventLogicalPort &event) {
    return post(Event{FM_EVENT_LOGICAL_PORT, sw, event});
}

bool fmsim_post_event(int type, int sw) {
    return post(Event{type, sw, {}});
}

bool fmsim_wait_events_idle(int timeout_ms) {
    Events &e = events();
    std::unique_lock<std::mutex> lk(e.m);
    return e.idle.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                           [&] { return e.queue.empty() && e.in_flight == 0; });
}

unsigned long fmsim_events_delivered() {
    std::lock_guard<std::mutex> g(events().m);
    return events().delivered;
}

int fmsim_port_link(int sw, int port) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    int idx = fmsim::port_index(sw, port);
    if (idx < 0 || !valid_sw(sw)) return -1;
    std::lock_guard<std::mutex> l(events().m);
    return events().link[static_cast<size_t>(sw)][static_cast<size_t>(idx)] ? 1 : 0;
}
