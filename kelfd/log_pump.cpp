// log_pump.cpp - the reading thread and the syslog writer of a detached
// daemon's output. They meet only at the queue: a syslog that does not take
// its entries (a full /dev/log) stops the writer, never the reading, so the
// daemon's writes to its standard streams never wait on syslog.
#include "log_pump.h"

#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "messages.h"

namespace kelf {
namespace {

void to_syslog(int priority, const std::string &line) {
    ::syslog(priority, "%s", line.c_str());
}

}  // namespace

LogPump::LogPump(Source out, Source err, LogFn log, LineFn tell)
    : log_(log ? std::move(log) : LogFn(to_syslog)),
      tell_(std::move(tell)),
      out_{out, {}, true},
      err_{err, {}, true} {
    writer_ = std::thread([this] { write(); });
    try {
        pump_ = std::thread([this] { pump(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(queue_mu_);
            ended_ = true;
        }
        queued_.notify_one();
        writer_.join();
        throw;
    }
}

LogPump::~LogPump() {
    pump_.join();
    {
        std::lock_guard<std::mutex> lock(queue_mu_);
        ended_ = true;
    }
    queued_.notify_one();
    writer_.join();
}

void LogPump::queue(int priority, std::string text) {
    {
        std::lock_guard<std::mutex> lock(queue_mu_);
        if (queue_.size() >= kMaxQueuedLines || queued_bytes_ + text.size() > kMaxQueuedBytes) {
            ++dropped_;
            return;
        }
        queued_bytes_ += text.size();
        queue_.push_back({priority, std::move(text)});
    }
    queued_.notify_one();
}

void LogPump::take(Stream &s) {
    if (s.line.empty()) return;
    if (s.src.tell && tell_) tell_(s.line);
    queue(s.src.priority, std::move(s.line));
    s.line.clear();
}

void LogPump::drain(Stream &s) {
    if (!s.open) return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(s.src.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                take(s);
                continue;
            }
            s.line.push_back(buf[i]);
            if (s.line.size() >= kMaxEntry) take(s);
        }
    }
    take(s);  // the last line, unended
    s.open = false;
}

void LogPump::drain_now() {
    std::lock_guard<std::mutex> lock(read_mu_);
    drain(err_);
    drain(out_);
}

void LogPump::pump() {
    for (;;) {
        pollfd p[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
        {
            std::lock_guard<std::mutex> lock(read_mu_);
            if (!out_.open && !err_.open) return;
            p[0].fd = out_.open ? out_.src.fd : -1;
            p[1].fd = err_.open ? err_.src.fd : -1;
        }
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::lock_guard<std::mutex> lock(read_mu_);
        if (p[0].revents != 0) drain(out_);
        if (p[1].revents != 0) drain(err_);
    }
}

void LogPump::write() {
    std::unique_lock<std::mutex> lock(queue_mu_);
    for (;;) {
        queued_.wait(lock, [this] { return !queue_.empty() || ended_; });
        if (queue_.empty()) return;
        Entry e = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= e.text.size();
        lock.unlock();
        log_(e.priority, e.text);
        lock.lock();
        // The log took a line again: it hears what it missed.
        if (dropped_ > 0) {
            char text[128];
            std::snprintf(text, sizeof text, msg::kMessagesDropped,
                          static_cast<unsigned long long>(dropped_));
            dropped_ = 0;
            lock.unlock();
            log_(LOG_WARNING, text);
            lock.lock();
        }
    }
}

}  // namespace kelf
