// egress.cpp - the sinks frames reach when they leave the switch.
#include "egress.h"

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace fmsim {
namespace {

struct Sinks {
    std::shared_mutex m;
    std::map<int, EgressSink> all;
    int next = 1;
    std::atomic<int> count{0};
};

Sinks &sinks() {
    static Sinks s;
    return s;
}

}  // namespace

int add_egress_sink(EgressSink sink) {
    Sinks &s = sinks();
    std::unique_lock<std::shared_mutex> g(s.m);
    int h = s.next++;
    if (s.next <= 0) s.next = 1;
    s.all.emplace(h, std::move(sink));
    s.count.store(static_cast<int>(s.all.size()), std::memory_order_release);
    return h;
}

void remove_egress_sink(int handle) {
    Sinks &s = sinks();
    std::unique_lock<std::shared_mutex> g(s.m);
    s.all.erase(handle);
    s.count.store(static_cast<int>(s.all.size()), std::memory_order_release);
}

void deliver_egress(int sw, const FmsimOutcome &out) {
    Sinks &s = sinks();
    if (s.count.load(std::memory_order_acquire) == 0 || out.frames.empty()) return;
    std::shared_lock<std::shared_mutex> g(s.m);
    for (const FmsimEmit &e : out.frames)
        for (auto &[h, sink] : s.all) sink(sw, e);
}

}  // namespace fmsim
