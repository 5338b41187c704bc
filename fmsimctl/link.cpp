#include "link.h"

#include <fmsim/control.h>
#include <kelfd/kel_lib.h>
#include <kelfd/run_dir.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "unreachable.h"

namespace fmsimctl {

void usage(const std::string &msg) {
    throw Failure(kExitUsage, msg);
}
void refused(const std::string &msg) {
    throw Failure(kExitRefused, msg);
}

std::string default_socket_path() {
    return kel_run_path(fmsim::control::kSocketName);
}

namespace {

[[noreturn]] void unreachable(const std::string &path, const std::string &why) {
    throw Failure(kExitUnreachable, "no fmsim answers on " + path + ": " + why +
                                        kelfctl::unreachable_hint("kelfd on fmsim"));
}

// Waits until fd is ready for events; false on time-out.
bool wait_for(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
        return false;  // a signal (Ctrl-C) ends the wait; the caller looks why
    }
}

}  // namespace

Link::Link(const std::string &path, std::chrono::milliseconds timeout)
    : path_(path), timeout_(timeout) {
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) unreachable(path, "socket path too long");
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) unreachable(path, std::strerror(errno));
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::string why = std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        unreachable(path, why);
    }
}

Link::~Link() {
    if (fd_ >= 0) ::close(fd_);
}

void Link::send(const std::vector<std::uint8_t> &body) {
    auto n = static_cast<std::uint32_t>(body.size());
    write_all(reinterpret_cast<const std::uint8_t *>(&n), 4);
    write_all(body.data(), body.size());
}

void Link::write_all(const std::uint8_t *p, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        if (!wait_for(fd_, POLLOUT, static_cast<int>(timeout_.count())))
            throw Failure(kExitUnreachable, "fmsim on " + path_ + " takes no request");
        ssize_t w = ::send(fd_, p + at, n - at, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw Failure(kExitUnreachable,
                          "fmsim on " + path_ + " went away: " + std::strerror(errno));
        }
        at += static_cast<std::size_t>(w);
    }
}

void Link::read_exact(std::uint8_t *p, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        if (!wait_for(fd_, POLLIN, static_cast<int>(timeout_.count())))
            throw Failure(kExitUnreachable, "fmsim on " + path_ + " did not answer in time");
        ssize_t r = ::read(fd_, p + at, n - at);
        if (r == 0) throw Failure(kExitUnreachable, "fmsim on " + path_ + " closed the connection");
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw Failure(kExitUnreachable, "fmsim on " + path_ + ": " + std::strerror(errno));
        }
        at += static_cast<std::size_t>(r);
    }
}

bool Link::receive(std::vector<std::uint8_t> *body, int wait_ms) {
    if (wait_ms >= 0 && !wait_for(fd_, POLLIN, wait_ms)) return false;
    std::uint32_t n = 0;
    read_exact(reinterpret_cast<std::uint8_t *>(&n), 4);
    if (n == 0 || n > fmsim::control::kMaxReply)
        refused("fmsim sent a message of " + std::to_string(n) + " bytes");
    body->resize(n);
    read_exact(body->data(), n);
    return true;
}

std::vector<std::uint8_t> Link::call(const std::vector<std::uint8_t> &request) {
    send(request);
    std::vector<std::uint8_t> reply;
    receive(&reply);
    if (reply[0] != 0) refused(std::string(reply.begin() + 1, reply.end()));
    return reply;
}

}  // namespace fmsimctl
