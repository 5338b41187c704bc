#include "server.h"

#include <kelfd/kel_lib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelf {

std::string run_dir() {
    const char *d = std::getenv(KEL_RUN_DIR_ENV);
    return (d != nullptr && *d != '\0') ? std::string(d) : std::string(KEL_DEFAULT_RUN_DIR);
}

std::string socket_path(const std::string &dir) {
    return dir + "/" KEL_SOCKET_NAME;
}

ControlServer::~ControlServer() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<ControlServer> ControlServer::open(const std::string &path,
                                                   std::chrono::milliseconds receive_timeout) {
    sockaddr_un local{};
    if (path.size() >= sizeof local.sun_path) {
        std::fprintf(stderr, "socket path too long (%zu bytes, at most %zu): %s\n", path.size(),
                     sizeof local.sun_path - 1, path.c_str());
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

void ControlServer::run(int wake_fd) {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno != EINTR) std::perror(first_accept_ ? "accept" : "keld accept");
            continue;
        }
        if (wake_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) return;
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_un remote{};
        socklen_t t = sizeof remote;
        int s2 = ::accept4(fd_, reinterpret_cast<sockaddr *>(&remote), &t, SOCK_CLOEXEC);
        if (s2 < 0) {
            if (errno != EAGAIN && errno != EINTR)
                std::perror(first_accept_ ? "accept" : "keld accept");
            continue;
        }
        first_accept_ = false;
        serve(s2);
    }
}

namespace {

// Sends the whole reply; a client that went away costs a line on standard
// error, never the daemon.
void send_all(int s2, const void *data, std::size_t size) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = ::send(s2, p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("keld send");
            return;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void ControlServer::serve(int s2) {
    // The buffer is zero here: cleared at construction and after every request.
    // A client normally sends its request right after connecting, so the
    // first receive finds it waiting; only a slow client is waited for, and
    // no longer than the receive time-out.
    ssize_t n = ::recv(s2, dispatcher_.buffer().raw, KEL_BUF_SIZE, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        auto deadline = std::chrono::steady_clock::now() + timeout_;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{s2, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            n = ::recv(s2, dispatcher_.buffer().raw, KEL_BUF_SIZE, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) break;
        }
    }
    Reply reply;
    if (n <= 0) {
        // Nothing to carry out; the status reply is still attempted.
        static const int kNothing = 0;
        reply = {&kNothing, sizeof kNothing};
    } else {
        reply = dispatcher_.dispatch();
    }
    send_all(s2, reply.data, reply.size);
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
