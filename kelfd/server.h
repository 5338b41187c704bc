// server.h - the control socket: one connection, one request, one reply.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "dispatch.h"

namespace kelf {

// The socket path under a run directory ($KELF_RUN_DIR, /var/run when unset).
std::string run_dir();
std::string socket_path(const std::string &dir);

class ControlServer {
public:
    // How long a connected client may stay silent before its connection is
    // closed and the next client is served.
    static constexpr std::chrono::milliseconds kReceiveTimeout{5000};

    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Creates the listening socket at path: removes a stale socket file,
    // binds with mode 0600 and listens with a backlog of 5. On failure prints
    // the failing step ("socket", "bind", "listen") with perror, or a line for
    // a path too long for a socket address, and returns nullptr.
    static std::unique_ptr<ControlServer> open(const std::string &path,
                                               std::chrono::milliseconds receive_timeout = kReceiveTimeout);

    // Serves connections until wake_fd (a descriptor that becomes readable)
    // is readable; -1 serves for ever. The request in flight is finished
    // first.
    void run(int wake_fd);

    // Serves one accepted connection and closes it.
    void serve(int conn);

    Dispatcher &dispatcher() { return dispatcher_; }

private:
    ControlServer(int fd, std::chrono::milliseconds timeout) : fd_(fd), timeout_(timeout) {}
    int fd_;
    std::chrono::milliseconds timeout_;
    bool first_accept_ = true;
    Dispatcher dispatcher_;
};

}  // namespace kelf
