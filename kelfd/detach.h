// detach.h - a start without -v: the daemon leaves its caller, its output
// goes to syslog, and the caller learns how the start ended.
//
// Contract: Detached::start forks. The caller's process waits, copying
// what the daemon writes to standard error onto its own, and ends once the
// daemon serves (status 0, after serving()) or has ended (the daemon's
// status, 128 + the signal that ended it). The daemon runs in a session of
// its own; every line it writes to standard output or error becomes one
// syslog entry (facility daemon, ident "kelfd"; standard error's lines at
// priority err, the others at info), word for word; blank lines are left
// out. Start it before anything starts a thread: a fork takes only the
// calling thread along. A syslog that does not take its entries never
// holds up the daemon (log_pump.h): what it cannot take is dropped and
// counted. What the caller is told while the daemon starts is dropped, not
// waited for, once the report pipe is full.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "log_pump.h"

namespace kelf {

// Started with descriptors 0, 1 or 2 closed, the next files the daemon
// opens (its socket, the start's report) would become its standard
// streams: each closed one is opened on /dev/null first, before anything.
void hold_standard_descriptors();

class Detached {
public:
    Detached() = default;
    // Flushes what the daemon wrote and waits until syslog has it all.
    ~Detached();
    Detached(const Detached &) = delete;
    Detached &operator=(const Detached &) = delete;

    // Returns in the daemon; the caller's process ends in here. false when
    // the fork or the pipes failed (printed with perror, still attached).
    bool start();
    // Tells the waiting caller that the daemon serves; it exits 0.
    void serving();
    // Gives the waiting caller text for its standard error (a reason that
    // the daemon prints on standard output), if it still waits.
    void tell_caller(const std::string &text);

private:
    // A line of standard error for the waiting caller; never blocks.
    void tell_line(const std::string &line);
    void release_caller();
    std::mutex mu_;            // caller_
    int caller_ = -1;          // the report pipe to the waiting caller
    int out_ = -1, err_ = -1;  // the pipes' reading ends
    std::unique_ptr<LogPump> pump_;
};

}  // namespace kelf
