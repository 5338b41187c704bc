// log_pump.h - lines from a detached daemon's standard output and error to
// syslog, without ever holding up whoever writes them.
//
// Contract: a pump thread reads both descriptors (non-blocking, not owned)
// whenever they hold something, cuts what it reads into lines of at most
// kMaxEntry bytes (blank lines are left out) and queues them; a writer
// thread hands the queue to the log function. The reading never waits for
// the log: with kMaxQueuedLines or kMaxQueuedBytes queued, a line is dropped
// and counted, and once the log takes a line again one more entry says how
// many were dropped (msg::kMessagesDropped, at warning priority). No lock is held
// while the log function runs. The destructor waits for both descriptors'
// ends (their writers must be closed first) and for the log to have taken
// every queued line.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kelf {

class LogPump {
public:
    // A syslog entry holds at most this much of a line; the rest follows in
    // entries of its own.
    static constexpr std::size_t kMaxEntry = 1024;
    static constexpr std::size_t kMaxQueuedLines = 4096;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{1} << 20;

    // Takes one line; syslog(priority, "%s", line) by default. May block.
    using LogFn = std::function<void(int priority, const std::string &line)>;
    // Sees each line of the stream marked for it, on the reading thread and
    // under the reading lock, before the line is queued: must not block.
    using LineFn = std::function<void(const std::string &line)>;

    struct Source {
        int fd = -1;
        int priority = 0;
        bool tell = false;  // its lines go to the LineFn as well
    };

    LogPump(Source out, Source err, LogFn log, LineFn tell);
    ~LogPump();
    LogPump(const LogPump &) = delete;
    LogPump &operator=(const LogPump &) = delete;

    // Reads what the descriptors hold now on the calling thread, so that
    // what was written before has been seen by the LineFn on return.
    void drain_now();

private:
    struct Stream {
        Source src;
        std::string line;
        bool open = true;
    };
    struct Entry {
        int priority;
        std::string text;
    };
    // Reads what s holds now; clears s.open at its end. Holds read_mu_.
    void drain(Stream &s);
    void take(Stream &s);
    void queue(int priority, std::string text);
    void pump();
    void write();

    LogFn log_;
    LineFn tell_;
    std::mutex read_mu_;  // the streams
    Stream out_, err_;
    std::mutex queue_mu_;  // everything below
    std::condition_variable queued_;
    std::deque<Entry> queue_;
    std::size_t queued_bytes_ = 0;
    std::uint64_t dropped_ = 0;
    bool ended_ = false;         // the pump read both ends
    std::thread writer_, pump_;  // started last, joined first
};

}  // namespace kelf
