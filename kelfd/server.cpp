#include "server.h"

#include <kelfd/kel_lib.h>
#include <kelfd/run_dir.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace kelf {

std::string run_dir() {
    return kel_run_dir();
}

std::string socket_path(const std::string &dir) {
    return dir + "/" KEL_SOCKET_NAME;
}

ControlServer::~ControlServer() {
    if (fd_ >= 0) ::close(fd_);
}

bool socket_path_fits(const std::string &path) {
    sockaddr_un local{};
    if (path.size() < sizeof local.sun_path) return true;
    std::fprintf(stderr, "socket path too long (%zu bytes, at most %zu): %s\n", path.size(),
                 sizeof local.sun_path - 1, path.c_str());
    return false;
}

bool socket_answers(const std::string &path) {
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) return false;
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return false;
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int rc = ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    // A full backlog (EAGAIN) still means that somebody listens.
    bool alive = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(s);
    return alive;
}

std::unique_ptr<ControlServer> ControlServer::open(const std::string &path,
                                                   std::chrono::milliseconds receive_timeout) {
    sockaddr_un local{};
    if (!socket_path_fits(path)) return nullptr;
    if (socket_answers(path)) {
        std::fprintf(stderr, "%s is served by another daemon; not replacing it\n", path.c_str());
        return nullptr;
    }
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        std::perror("socket");
        return nullptr;
    }
    std::unique_ptr<ControlServer> server(new ControlServer(s, receive_timeout));
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    // Only the socket's owner may configure the switches: the file is created
    // 0600 whatever the umask, and kept so.
    mode_t old = ::umask(0177);
    int rc = ::bind(s, reinterpret_cast<sockaddr *>(&local),
                    static_cast<socklen_t>(path.size() + sizeof local.sun_family));
    ::umask(old);
    if (rc == -1) {
        std::perror("bind");
        return nullptr;
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(s, 5) == -1) {
        std::perror("listen");
        return nullptr;
    }
    return server;
}

namespace {

// Sends the whole reply; a client that went away, or that reads nothing
// for `timeout`, costs a line on standard error, never the daemon.
void send_all(int s2, const void *data, std::size_t size, std::chrono::milliseconds timeout) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = ::send(s2, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd w{s2, POLLOUT, 0};
                if (::poll(&w, 1, static_cast<int>(timeout.count())) > 0) continue;
                errno = ETIMEDOUT;
            }
            std::perror("keld send");
            return;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::atomic<ControlServer::PollFn> poll_fn{::poll};
std::atomic<ControlServer::AcceptFn> accept_fn{::accept4};

bool readable(int fd) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return poll_fn.load()(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

}  // namespace

void ControlServer::set_syscalls(PollFn poll, AcceptFn accept) {
    poll_fn.store(poll != nullptr ? poll : ::poll);
    accept_fn.store(accept != nullptr ? accept : ::accept4);
}

void ControlServer::failed(const char *what, int err) {
    // A lasting failure (out of descriptors) is printed once, not per pass.
    if (err != last_errno_) {
        errno = err;
        std::perror(what);
        last_errno_ = err;
    }
    std::this_thread::sleep_for(kErrorBackoff);
}

void ControlServer::run(int wake_fd) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({fd_, POLLIN, 0});
        fds.push_back({wake_fd, POLLIN, 0});  // a negative fd is skipped by poll
        for (const Pending &p : pending_) fds.push_back({p.fd, POLLIN, 0});
        int wait = -1;
        if (!pending_.empty()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                pending_.front().deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        int n = poll_fn.load()(fds.data(), fds.size(), wait);
        if (n < 0) {
            if (errno != EINTR) failed(first_accept_ ? "accept" : "keld accept", errno);
            continue;
        }
        if (wake_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) break;

        // Requests complete in this round, in the order their clients came;
        // a stop asked for in between is carried out before the next one.
        std::deque<Pending> still;
        bool stop = false;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            const Pending &p = pending_[i];
            if (!stop && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) && try_serve(p.fd)) {
                stop = readable(wake_fd);
                continue;
            }
            still.push_back(p);
        }
        pending_.swap(still);
        if (stop) break;
        // Silent past the time-out: answered as an empty request and closed.
        auto now = std::chrono::steady_clock::now();
        while (!pending_.empty() && pending_.front().deadline <= now) {
            answer(pending_.front().fd, 0);
            pending_.pop_front();
        }
        if (fds[0].revents & POLLIN) accept_new();
    }
    for (const Pending &p : pending_) ::close(p.fd);
    pending_.clear();
}

void ControlServer::accept_new() {
    sockaddr_un remote{};
    socklen_t t = sizeof remote;
    int s2 = accept_fn.load()(fd_, reinterpret_cast<sockaddr *>(&remote), &t,
                              SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s2 < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            failed(first_accept_ ? "accept" : "keld accept", errno);
        return;
    }
    first_accept_ = false;
    last_errno_ = 0;
    // A client normally sends its request right after connecting: the first
    // receive finds it waiting, and only a slow client joins the waiters.
    if (try_serve(s2)) return;
    if (pending_.size() >= kMaxPending) {
        ::close(pending_.front().fd);
        pending_.pop_front();
    }
    pending_.push_back({s2, std::chrono::steady_clock::now() + timeout_});
}

bool ControlServer::try_serve(int s2) {
    // The buffer is zero here: cleared at construction and after every request.
    ssize_t n = ::recv(s2, dispatcher_.buffer().raw, KEL_BUF_SIZE, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
    answer(s2, n);
    return true;
}

void ControlServer::serve(int s2) {
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        if (try_serve(s2)) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{s2, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) == 0) break;
    }
    answer(s2, 0);
}

void ControlServer::answer(int s2, ssize_t n) {
    Reply reply;
    if (n <= 0) {
        // Nothing to carry out; the status reply is still attempted.
        static const int kNothing = 0;
        reply = {&kNothing, sizeof kNothing};
    } else {
        reply = dispatcher_.dispatch();
    }
    send_all(s2, reply.data, reply.size, timeout_);
    // A client that filled the buffer may have sent more: drop what is
    // queued, so that closing does not turn its read of the reply into a reset.
    if (n == KEL_BUF_SIZE) {
        unsigned char sink[4096];
        for (int i = 0; i < 16 && ::recv(s2, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    ::close(s2);
    dispatcher_.clear();
}

}  // namespace kelf
