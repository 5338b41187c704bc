// os.cpp - fmsim's operating-system services: the OS start and semaphores.
//
// A semaphore wait must not hold fmsim's lock: the release comes from
// another thread (the event callback), which needs the lock for its own SDK
// calls. So these operations count and fault-check under the lock, then
// work on the semaphore under its own.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "events.h"
#include "fmsim.h"
#include "sim.h"

namespace {

struct Semaphore {
    std::mutex m;
    std::condition_variable cv;
    std::string name;
    bool binary = true;
    std::int64_t count = 0;
    bool deleted = false;
};

struct Os {
    std::mutex m;  // guards everything below
    bool initialized = false;
    std::uint64_t next_handle = 1;
    std::map<std::uint64_t, std::shared_ptr<Semaphore>> sems;
};

Os &os() {
    static auto *o = new Os;  // outlives every static user
    return *o;
}

// Wakes every waiter of every semaphore and forgets them all.
void reset_os() {
    std::map<std::uint64_t, std::shared_ptr<Semaphore>> old;
    {
        std::lock_guard<std::mutex> g(os().m);
        os().initialized = false;
        old.swap(os().sems);
    }
    for (auto &[h, s] : old) {
        std::lock_guard<std::mutex> g(s->m);
        s->deleted = true;
        s->cv.notify_all();
    }
}

struct Init {
    Init() { fmsim::on_reset(reset_os); }
} init;

fm_status count_call(fmsim::Op &o) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    return fmsim::enter(o);
}

std::shared_ptr<Semaphore> find_sem(const fm_semaphore *h) {
    if (h == nullptr) return nullptr;
    std::lock_guard<std::mutex> g(os().m);
    auto it = os().sems.find(h->handle);
    return it == os().sems.end() ? nullptr : it->second;
}

}  // namespace

namespace fmsim {
bool os_initialized() {
    std::lock_guard<std::mutex> g(os().m);
    return os().initialized;
}
}  // namespace fmsim

extern "C" {

fm_status fmOSInitialize(void) {
    FMSIM_ENTER("fmOSInitialize");
    std::lock_guard<std::mutex> g(os().m);
    os().initialized = true;
    return FM_OK;
}

fm_status fmCreateSemaphore(fm_text *semName, fm_semType semType, fm_semaphore *semHandle,
                            fm_int initial) {
    (void)fmsim::Declared<"fmCreateSemaphore">::value;
    static fmsim::Op &op = fmsim::op("fmCreateSemaphore");
    if (fm_status st = count_call(op); st != FM_OK) return st;
    if (semHandle == nullptr || initial < 0) return FM_ERR_INVALID_ARGUMENT;
    if (semType != FM_SEM_BINARY && semType != FM_SEM_COUNTING) return FM_ERR_INVALID_ARGUMENT;
    if (semType == FM_SEM_BINARY && initial > 1) return FM_ERR_INVALID_ARGUMENT;
    auto s = std::make_shared<Semaphore>();
    s->name = semName != nullptr ? semName : "";
    s->binary = semType == FM_SEM_BINARY;
    s->count = initial;
    std::lock_guard<std::mutex> g(os().m);
    if (!os().initialized) return FM_ERR_UNINITIALIZED;
    std::uint64_t h = os().next_handle++;
    os().sems.emplace(h, std::move(s));
    semHandle->handle = h;
    semHandle->semType = semType;
    return FM_OK;
}

fm_status fmDeleteSemaphore(fm_semaphore *semHandle) {
    (void)fmsim::Declared<"fmDeleteSemaphore">::value;
    static fmsim::Op &op = fmsim::op("fmDeleteSemaphore");
    if (fm_status st = count_call(op); st != FM_OK) return st;
    if (semHandle == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::shared_ptr<Semaphore> s;
    {
        std::lock_guard<std::mutex> g(os().m);
        auto it = os().sems.find(semHandle->handle);
        if (it == os().sems.end()) return FM_ERR_INVALID_ARGUMENT;
        s = std::move(it->second);
        os().sems.erase(it);
    }
    std::lock_guard<std::mutex> g(s->m);
    s->deleted = true;
    s->cv.notify_all();
    semHandle->handle = 0;
    return FM_OK;
}

fm_status fmCaptureSemaphore(fm_semaphore *semHandle, fm_timestamp *timeout) {
    (void)fmsim::Declared<"fmCaptureSemaphore">::value;
    static fmsim::Op &op = fmsim::op("fmCaptureSemaphore");
    if (fm_status st = count_call(op); st != FM_OK) return st;
    std::shared_ptr<Semaphore> s = find_sem(semHandle);
    if (s == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::unique_lock<std::mutex> lk(s->m);
    auto ready = [&] { return s->count > 0 || s->deleted; };
    // Anything beyond a few decades is for ever.
    constexpr std::uint64_t kForever = 1ull << 30;
    if (timeout == FM_WAIT_FOREVER || timeout->sec >= kForever) {
        s->cv.wait(lk, ready);
    } else {
        auto span = std::chrono::seconds(timeout->sec) +
                    std::chrono::microseconds(timeout->usec % (kForever * 1000000ull));
        if (!s->cv.wait_for(lk, span, ready)) return FM_ERR_SEM_TIMEOUT;
    }
    if (s->deleted) return FM_ERR_INVALID_STATE;
    --s->count;
    return FM_OK;
}

fm_status fmReleaseSemaphore(fm_semaphore *semHandle) {
    (void)fmsim::Declared<"fmReleaseSemaphore">::value;
    static fmsim::Op &op = fmsim::op("fmReleaseSemaphore");
    if (fm_status st = count_call(op); st != FM_OK) return st;
    std::shared_ptr<Semaphore> s = find_sem(semHandle);
    if (s == nullptr) return FM_ERR_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> g(s->m);
    if (s->binary)
        s->count = 1;
    else if (s->count < std::numeric_limits<std::int32_t>::max())
        ++s->count;
    s->cv.notify_one();
    return FM_OK;
}

}  // extern "C"
