// server.h - the control socket: one connection, one request, one reply.
//
// Contract: requests are carried out one at a time, in the order they
// arrived complete; one receive's worth of bytes (at most one buffer) is the
// request, one reply goes back, the connection is closed. Connections that
// have not sent yet wait side by side, each for at most the receive time-out,
// so a silent client delays nobody. At most kMaxPending such connections are
// held: the next one pushes out the one that has waited longest. A stop
// (wake_fd readable) ends the loop between requests.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "dispatch.h"

namespace kelf {

// The socket path under a run directory ($KELF_RUN_DIR, /var/run when unset).
std::string run_dir();
std::string socket_path(const std::string &dir);

// True when a process listens on the socket at path (a running daemon).
bool socket_answers(const std::string &path);
// True when path fits a socket address; prints why not to standard error.
bool socket_path_fits(const std::string &path);

class ControlServer {
public:
    // How long a connected client may stay silent before its connection is
    // closed and the next client is served.
    static constexpr std::chrono::milliseconds kReceiveTimeout{5000};
    // Connections held open while they have not sent their request.
    static constexpr std::size_t kMaxPending = 64;
    // The pause after a failing poll or accept (out of descriptors, say),
    // so that a lasting failure costs no CPU; each kind is printed once.
    static constexpr std::chrono::milliseconds kErrorBackoff{100};

    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Creates the listening socket at path: removes a stale socket file,
    // binds with mode 0600 and listens with a backlog of 5. On failure prints
    // the failing step ("socket", "bind", "listen") with perror, or a line for
    // a path too long for a socket address or a socket another daemon still
    // serves (never removed), and returns nullptr.
    static std::unique_ptr<ControlServer> open(
        const std::string &path, std::chrono::milliseconds receive_timeout = kReceiveTimeout);

    // Serves connections until wake_fd (a descriptor that becomes readable)
    // is readable; -1 serves for ever. The request in flight is finished
    // first.
    void run(int wake_fd);

    // Serves one accepted connection, waiting at most the time-out for its
    // request, and closes it.
    void serve(int conn);

    Dispatcher &dispatcher() { return dispatcher_; }
    std::size_t pending() const { return pending_.size(); }

    // The system calls the loop makes; tests put failing ones here. nullptr
    // puts the real one back.
    using PollFn = int (*)(pollfd *, nfds_t, int);
    using AcceptFn = int (*)(int, sockaddr *, socklen_t *, int);
    static void set_syscalls(PollFn poll, AcceptFn accept);

private:
    struct Pending {
        int fd;
        std::chrono::steady_clock::time_point deadline;
    };
    ControlServer(int fd, std::chrono::milliseconds timeout) : fd_(fd), timeout_(timeout) {}
    // One receive from a connection: false when it has sent nothing yet.
    bool try_serve(int conn);
    // Carries out the request of n received bytes (n <= 0: none) and closes.
    void answer(int conn, ssize_t n);
    void accept_new();
    void failed(const char *what, int err);
    int fd_;
    std::chrono::milliseconds timeout_;
    bool first_accept_ = true;
    int last_errno_ = 0;
    std::deque<Pending> pending_;
    Dispatcher dispatcher_;
};

}  // namespace kelf
