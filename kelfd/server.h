// server.h - the control socket: one connection, one request, one reply.
//
// Contract: requests are carried out one at a time, on the calling thread,
// in the order they became whole. A request is whole once it holds the
// layout its command reads (request_size), once the client ended its
// writing, or once kShortRecordWait passed without a byte more (a record
// shorter than its layout that is all the client sends); the bytes of a
// record written in pieces are gathered first, so a split record is served
// exactly as if written at once. One reply goes back, the connection is
// closed. Connections that have not sent a whole record wait side by side,
// each at most the receive time-out, so a silent client delays nobody. At
// most kMaxPending of them are held; past that, the one that waited longest
// is pushed out only once it has waited kPushOutAfter, and until then new
// connections stay queued in the listen backlog. A stop (wake_fd readable)
// ends the loop between requests.
#pragma once

#include <kelfd/kel_lib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

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
    // How long a record shorter than its layout waits for more bytes after
    // the last ones came, before it is served as it is.
    static constexpr std::chrono::milliseconds kShortRecordWait{20};
    // Connections held open while their request is not whole.
    static constexpr std::size_t kMaxPending = 256;
    // With kMaxPending held, the longest waiter makes room for a new
    // connection once it has waited this long, and not before.
    static constexpr std::chrono::milliseconds kPushOutAfter{1000};
    // Connections the kernel queues for accept.
    static constexpr int kBacklog = 128;
    // The pause after a failing poll or accept (out of descriptors, say),
    // so that a lasting failure costs no CPU; each kind is printed once.
    static constexpr std::chrono::milliseconds kErrorBackoff{100};

    // Closes the socket and removes its file (remove_socket).
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Creates the listening socket at path: removes a stale socket file,
    // binds with mode 0600 and listens with a backlog of kBacklog. On failure prints
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
    // request (and kShortRecordWait past its last bytes), and closes it.
    void serve(int conn);

    // Removes the socket file if it is still the one open() made (not one a
    // later daemon bound at the same path).
    void remove_socket();

    Dispatcher &dispatcher() { return dispatcher_; }
    std::size_t pending() const { return pending_.size(); }

    // The system calls the loop makes; tests put failing ones here. nullptr
    // puts the real one back.
    using PollFn = int (*)(pollfd *, nfds_t, int);
    using AcceptFn = int (*)(int, sockaddr *, socklen_t *, int);
    static void set_syscalls(PollFn poll, AcceptFn accept);

private:
    using Clock = std::chrono::steady_clock;
    // A connection whose request is not whole yet.
    struct Pending {
        int fd = -1;
        Clock::time_point since;     // accepted
        Clock::time_point deadline;  // served as it is then
        std::size_t got = 0;         // bytes received so far, in bytes
        std::unique_ptr<unsigned char[]> bytes;
    };
    enum class Read { Whole, More };
    ControlServer(int fd, std::chrono::milliseconds timeout) : fd_(fd), timeout_(timeout) {}
    // Receives what p's client sent since; Whole when it is to be served now.
    Read receive(Pending &p);
    // Carries out p's request as received (nothing received: the empty
    // request's status) and closes the connection.
    void finish(Pending &p);
    // Carries out the request of n bytes at rec (n 0: none) and closes.
    void answer(int conn, const unsigned char *rec, std::size_t n);
    // Accepts one connection if there is room, and serves it if its record
    // is whole.
    void accept_new();
    bool room(Clock::time_point now) const;
    void failed(const char *what, int err);
    int fd_;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::chrono::milliseconds timeout_;
    bool first_accept_ = true;
    int last_errno_ = 0;
    std::deque<Pending> pending_;
    // Where a connection's first bytes arrive.
    static constexpr std::size_t kMaxRecord = KEL_X_MAX_REQUEST;
    std::unique_ptr<unsigned char[]> inbox_ = std::make_unique<unsigned char[]>(kMaxRecord);
    Dispatcher dispatcher_;
};

}  // namespace kelf
