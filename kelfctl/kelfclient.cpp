#include <grp.h>
#include <kelfd/kelfclient.h>
#include <kelfd/run_dir.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelfclient {
namespace {

// Why a user may not use the socket: whose it is, with what mode, and what
// to do.
std::string denied(const std::string &path) {
    std::string why = "kelfd at " + path + " refuses this user: " + std::strerror(errno);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        const passwd *pw = ::getpwuid(st.st_uid);
        const group *gr = ::getgrgid(st.st_gid);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why += " (the socket is " + std::string(pw ? pw->pw_name : std::to_string(st.st_uid)) +
               "'s, group " + (gr ? gr->gr_name : std::to_string(st.st_gid)) + ", mode " + mode +
               ")";
    }
    return why +
           "; run kelfctl as root (sudo kelfctl ...), or as a user the socket's mode "
           "lets in";
}

// Closes the connection on every path.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string sys_error(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

std::string seconds(std::chrono::milliseconds t) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", static_cast<double>(t.count()) / 1000.0);
    return b;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left before the deadline for poll; -1 (wait for ever) when
// there is no deadline.
int left_ms(Clock::time_point deadline, bool bounded) {
    if (!bounded) return -1;
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1 << 30));
}

}  // namespace

std::string default_socket_path() {
    return kel_run_path(KEL_SOCKET_NAME);
}

Client::Client(std::string socket_path, std::chrono::milliseconds timeout)
    : path_(std::move(socket_path)), timeout_(timeout) {}

Status Client::exchange(const void *request, std::size_t len,
                        std::vector<unsigned char> *reply) const {
    reply->clear();
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path)
        return {Status::NoDaemon, "socket path too long: " + path_};
    Fd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return {Status::Io, sys_error("socket")};
    const bool bounded = timeout_.count() > 0;
    const std::string late = "kelfd at " + path_ + " did not answer within " + seconds(timeout_) +
                             " s (--timeout SEC waits longer)";
    if (bounded) {
        // A UNIX connect waits for room in the listener's backlog as long as
        // the send time-out allows, then fails with EAGAIN.
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((timeout_.count() % 1000) * 1000);
        ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    while (::connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS)
            return {Status::Timeout, "kelfd at " + path_ + " did not take the connection within " +
                                         seconds(timeout_) + " s (--timeout SEC waits longer)"};
        if (errno == EACCES || errno == EPERM) return {Status::Denied, denied(path_)};
        return {Status::NoDaemon, sys_error("cannot reach kelfd at " + path_)};
    }

    // One deadline for the rest of the exchange: a daemon that trickles
    // bytes cannot stretch it.
    const Clock::time_point deadline = Clock::now() + timeout_;
    const auto *p = static_cast<const unsigned char *>(request);
    std::size_t left = len;
    while (left > 0) {
        pollfd pf{s.fd, POLLOUT, 0};
        int r = ::poll(&pf, 1, left_ms(deadline, bounded));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return {Status::Io, sys_error("send to " + path_)};
        if (r == 0) return {Status::Timeout, late};
        ssize_t n = ::send(s.fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return {Status::Io, sys_error("send to " + path_)};
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    // The end of the request: kelfd serves a record shorter than its layout
    // at once, instead of waiting for more of it.
    ::shutdown(s.fd, SHUT_WR);
    unsigned char buf[KEL_BUF_SIZE];
    for (;;) {
        pollfd pf{s.fd, POLLIN, 0};
        int r = ::poll(&pf, 1, left_ms(deadline, bounded));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return {Status::Io, sys_error("receive from " + path_)};
        if (r == 0) return {Status::Timeout, late};
        ssize_t n = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            // The daemon closed with unread bytes of ours: the reply it sent
            // before is whole.
            if (errno == ECONNRESET && !reply->empty()) break;
            return {Status::Io, sys_error("receive from " + path_)};
        }
        reply->insert(reply->end(), buf, buf + n);
    }
    return {};
}

Status Client::call(const void *request, std::size_t len, void *out, std::size_t size) const {
    std::vector<unsigned char> reply;
    Status st = exchange(request, len, &reply);
    if (!st) return st;
    if (reply.size() < size)
        return {Status::Short, "short reply from kelfd: " + std::to_string(reply.size()) + " of " +
                                   std::to_string(size) + " bytes"};
    std::memcpy(out, reply.data(), size);
    return {};
}

Status Client::status(const void *request, std::size_t len, std::int32_t *result) const {
    return call(request, len, result, sizeof *result);
}

Status Client::command(std::uint32_t code, std::int32_t unit, std::int32_t *result) const {
    unsigned char req[8];
    std::memcpy(req, &code, 4);
    std::memcpy(req + 4, &unit, 4);
    return status(req, sizeof req, result);
}

}  // namespace kelfclient
