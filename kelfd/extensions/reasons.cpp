// reasons.cpp - stdout and stderr as streams of our own (fopencookie) that
// write through to their descriptors and, during a Capture, keep a copy of
// what the capturing thread wrote.
#include "reasons.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace kelf::reasons {
namespace {

struct Kept {
    std::mutex mu;
    bool on = false;
    bool cut = false;
    pthread_t thread{};
    std::size_t limit = 0;
    std::string text;
};

Kept &kept() {
    static auto *k = new Kept;  // outlives every stream that writes to it
    return *k;
}

void keep(const char *buf, std::size_t size) {
    Kept &k = kept();
    std::lock_guard<std::mutex> lock(k.mu);
    if (!k.on || !pthread_equal(k.thread, pthread_self()) || k.cut) return;
    if (k.text.size() + size <= k.limit) {
        k.text.append(buf, size);
        return;
    }
    // Cut at the last whole line that fits.
    std::size_t end = k.text.rfind('\n');
    k.text.resize(end == std::string::npos ? 0 : end + 1);
    k.text += "...\n";
    k.cut = true;
}

ssize_t write_through(void *cookie, const char *buf, std::size_t size) {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(cookie));
    keep(buf, size);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        // A descriptor that takes nothing (closed, full) loses the line; the
        // stream must not report an error that would stop later lines.
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

FILE *through(int fd, int mode) {
    cookie_io_functions_t io{};
    io.write = write_through;
    FILE *f = ::fopencookie(reinterpret_cast<void *>(static_cast<std::intptr_t>(fd)), "w", io);
    if (f != nullptr) std::setvbuf(f, nullptr, mode, BUFSIZ);
    return f;
}

}  // namespace

void install() {
    static bool done = false;
    if (done) return;
    done = true;
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *out = through(STDOUT_FILENO, _IOLBF);
    FILE *err = through(STDERR_FILENO, _IONBF);
    // The standard streams stay as they were when a stream cannot be made.
    if (out != nullptr) stdout = out;
    if (err != nullptr) stderr = err;
}

Capture::Capture(std::size_t limit) {
    std::fflush(stdout);
    std::fflush(stderr);
    Kept &k = kept();
    std::lock_guard<std::mutex> lock(k.mu);
    k.on = true;
    k.cut = false;
    k.thread = pthread_self();
    k.limit = limit;
    k.text.clear();
}

Capture::~Capture() {
    if (active_) take();
}

std::string Capture::take() {
    std::fflush(stdout);
    std::fflush(stderr);
    Kept &k = kept();
    std::lock_guard<std::mutex> lock(k.mu);
    std::string t;
    if (active_) t.swap(k.text);
    k.on = false;
    active_ = false;
    return t;
}

}  // namespace kelf::reasons
