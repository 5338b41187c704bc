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

#include "access.h"
#include "extensions/extensions.h"

namespace kelf {

std::string run_dir() {
    return kel_run_dir();
}

std::string socket_path(const std::string &dir) {
    return dir + "/" KEL_SOCKET_NAME;
}

ControlServer::~ControlServer() {
    remove_socket();
    for (const Pending &p : pending_) ::close(p.fd);
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
    // Non-blocking: an accept never waits, whatever became of the client
    // that poll announced.
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    access::open_to_readers(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        server->path_ = path;
        server->dev_ = st.st_dev;
        server->ino_ = st.st_ino;
    }
    if (::listen(s, kBacklog) == -1) {
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
    // One deadline for the whole reply: a client that reads a few bytes at
    // a time cannot stretch it.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (size > 0) {
        ssize_t n = ::send(s2, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd w{s2, POLLOUT, 0};
                auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                int r = left.count() > 0 ? ::poll(&w, 1, static_cast<int>(left.count())) : 0;
                if (r > 0 || (r < 0 && errno == EINTR)) continue;
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

void ControlServer::remove_socket() {
    struct stat st {};
    if (!path_.empty() && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
    path_.clear();
}

bool ControlServer::room(Clock::time_point now) const {
    return pending_.size() < kMaxPending || now - pending_.front().since >= kPushOutAfter;
}

void ControlServer::run(int wake_fd) {
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Clock::now();
        const bool can_accept = room(now);
        fds.clear();
        // A negative fd is skipped by poll: the listener while there is no room.
        fds.push_back({can_accept ? fd_ : -1, POLLIN, 0});
        fds.push_back({wake_fd, POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        for (const Pending &p : pending_) {
            fds.push_back({p.fd, POLLIN, 0});
            next = std::min(next, p.deadline);
        }
        if (!can_accept) next = std::min(next, pending_.front().since + kPushOutAfter);
        // Idle transactions end on time even when no client comes.
        if (auto left = dispatcher_.tick(); left != Clock::duration::max())
            next = std::min(next, now + left);
        int wait = -1;
        if (next != Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now);
            wait = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1 << 30));
        }
        int n = poll_fn.load()(fds.data(), fds.size(), wait);
        if (n < 0) {
            if (errno != EINTR) failed(first_accept_ ? "accept" : "keld accept", errno);
            continue;
        }
        if (wake_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) break;

        // Requests whole in this round, in the order their clients came; a
        // stop asked for in between is carried out before the next one.
        std::deque<Pending> still;
        bool stop = false;
        now = Clock::now();
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending &p = pending_[i];
            if (!stop) {
                bool whole = (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) &&
                             receive(p) == Read::Whole;
                // Silent past its time, or short and waited enough: served as it is.
                if (whole || p.deadline <= now) {
                    finish(p);
                    stop = readable(wake_fd);
                    continue;
                }
            }
            still.push_back(std::move(p));
        }
        pending_.swap(still);
        if (stop) break;
        if (fds[0].revents & POLLIN) accept_new();
    }
    for (const Pending &p : pending_) ::close(p.fd);
    pending_.clear();
}

void ControlServer::accept_new() {
    // One connection per round: a burst is taken from the backlog round by
    // round, each round also serving the waiters whose record became whole.
    auto now = Clock::now();
    if (!room(now)) return;
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
    if (pending_.size() >= kMaxPending) {
        // Waited kPushOutAfter at least (room() said so): let go.
        ::close(pending_.front().fd);
        pending_.pop_front();
    }
    Pending p;
    p.fd = s2;
    p.since = now;
    p.deadline = now + timeout_;
    // A client normally sends its request right after connecting: the first
    // receive finds it whole, and only a slow client joins the waiters.
    if (receive(p) == Read::Whole) {
        finish(p);
        return;
    }
    pending_.push_back(std::move(p));
}

ControlServer::Read ControlServer::receive(Pending &p) {
    // The first bytes go to the server's inbox; a record that is not whole
    // yet moves to a buffer of its own, so that others can be served
    // meanwhile.
    unsigned char *to = p.bytes ? p.bytes.get() : inbox_.get();
    bool got_more = false;
    for (;;) {
        ssize_t n = ::recv(p.fd, to + p.got, kMaxRecord - p.got, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        // The end of the client's writing: what came is the request.
        if (n == 0) return Read::Whole;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // A connection gone bad: nothing of it is carried out.
            p.bytes.reset();
            p.got = 0;
            return Read::Whole;
        }
        if (n < 0) break;
        p.got += static_cast<std::size_t>(n);
        got_more = true;
        if (p.got == kMaxRecord) return Read::Whole;
        if (p.got >= sizeof(std::uint32_t) && p.got >= extensions::record_size(to, p.got))
            return Read::Whole;
    }
    if (!p.bytes && p.got > 0) {
        p.bytes = std::make_unique<unsigned char[]>(kMaxRecord);
        std::memcpy(p.bytes.get(), to, p.got);
    }
    if (got_more) p.deadline = std::min(p.since + timeout_, Clock::now() + kShortRecordWait);
    return Read::More;
}

void ControlServer::finish(Pending &p) {
    const unsigned char *rec = p.bytes ? p.bytes.get() : inbox_.get();
    answer(p.fd, rec, p.got);
    p.fd = -1;
}

void ControlServer::serve(int s2) {
    Pending p;
    p.fd = s2;
    p.since = Clock::now();
    p.deadline = p.since + timeout_;
    while (receive(p) == Read::More) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(p.deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd w{s2, POLLIN, 0};
        if (::poll(&w, 1, static_cast<int>(left.count())) == 0) break;
    }
    finish(p);
}

namespace {

// The reply to a change from a client that may only read: -1, with the
// reason in a KEL_X_WHY reply when the request asked for one.
Reply refused(const unsigned char *rec, std::size_t n, const access::Peer &p,
              std::vector<unsigned char> &out) {
    std::uint32_t code = 0;
    std::memcpy(&code, rec, std::min<std::size_t>(n, sizeof code));
    const std::string line = "kel: uid " + std::to_string(p.uid) + " may only read (group " +
                             access::read_group() + "): this request changes the switch\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    const std::int32_t status = -1;
    out.clear();
    auto put = [&](const void *d, std::size_t len) {
        const auto *b = static_cast<const unsigned char *>(d);
        out.insert(out.end(), b, b + len);
    };
    if (code == KEL_X_WHY && extensions::served(KEL_X_WHY)) {
        const std::uint32_t len = 4, text = static_cast<std::uint32_t>(line.size());
        put(&len, 4);
        put(&status, 4);
        put(&text, 4);
        put(line.data(), line.size());
    } else {
        put(&status, 4);
    }
    return {out.data(), out.size()};
}

}  // namespace

void ControlServer::answer(int s2, const unsigned char *rec, std::size_t n) {
    // Nothing received: nothing to carry out, the status reply is still
    // attempted. A client that may only read is refused what changes.
    const access::Peer peer = access::peer_of(s2);
    const bool reads = access::only_reads(rec, n);
    std::vector<unsigned char> refusal;
    Reply reply;
    if (!reads && !peer.may_change) {
        reply = refused(rec, n, peer, refusal);
    } else {
        reply = dispatcher_.run(rec, n);
        if (!reads) access::audit(peer, rec, n, reply.data, reply.size);
    }
    send_all(s2, reply.data, reply.size, timeout_);
    // A client that sent more than its record may have more queued: drop
    // it, so that closing does not turn its read of the reply into a reset.
    if (n == kMaxRecord || (n >= 4 && n > extensions::record_size(rec, n))) {
        unsigned char sink[4096];
        for (int i = 0; i < 16 && ::recv(s2, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    ::close(s2);
    dispatcher_.clear();
}

}  // namespace kelf
