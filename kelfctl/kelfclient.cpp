#include <kelfd/kelfclient.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelfclient {
namespace {

// Closes the connection on every path.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string sys_error(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string default_socket_path() {
    const char *d = std::getenv(KEL_RUN_DIR_ENV);
    std::string dir = (d != nullptr && *d != '\0') ? d : KEL_DEFAULT_RUN_DIR;
    return dir + "/" KEL_SOCKET_NAME;
}

Client::Client(std::string socket_path) : path_(std::move(socket_path)) {}

Status Client::exchange(const void *request, std::size_t len,
                        std::vector<unsigned char> *reply) const {
    reply->clear();
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path)
        return {Status::NoDaemon, "socket path too long: " + path_};
    Fd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return {Status::Io, sys_error("socket")};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (::connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        return {Status::NoDaemon, sys_error("cannot reach kelfd at " + path_)};

    const auto *p = static_cast<const unsigned char *>(request);
    std::size_t left = len;
    while (left > 0) {
        ssize_t n = ::send(s.fd, p, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {Status::Io, sys_error("send to " + path_)};
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    unsigned char buf[KEL_BUF_SIZE];
    for (;;) {
        ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
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
