// control_server.cpp - fmsim's control socket: one thread, non-blocking
// connections under poll(), so that no client, however slow or silent,
// holds up the daemon or another client.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "control.h"
#include "egress.h"
#include "events.h"

namespace fmsim::control {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxClients = 32;
// A partial request or an unsent reply that moves no byte this long ends
// the connection; so does a connection that asks nothing this long.
constexpr auto kStallTimeout = std::chrono::seconds(10);
constexpr auto kIdleTimeout = std::chrono::seconds(60);
// Frames a capture holds for a client that reads slowly; beyond, they are
// dropped and counted, never waited for.
constexpr std::size_t kCaptureQueue = 4096;
constexpr std::size_t kMaxPendingOut = 4u << 20;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

void wake(int fd) {
    std::uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);  // a full counter still wakes the poll
    (void)r;
}

void drain(int fd) {
    std::uint64_t v;
    ssize_t r = ::read(fd, &v, sizeof v);
    (void)r;
}

void append_message(std::vector<std::uint8_t> &out, const std::vector<std::uint8_t> &body) {
    auto n = static_cast<std::uint32_t>(body.size());
    const auto *b = reinterpret_cast<const std::uint8_t *>(&n);
    out.insert(out.end(), b, b + 4);
    out.insert(out.end(), body.begin(), body.end());
}

// What a capture's sink hands to the server thread.
struct CaptureQueue {
    std::mutex m;
    std::deque<std::vector<std::uint8_t>> frames;  // whole messages
    std::uint32_t dropped = 0;
    int unit = 0, port = -1;
    int wake_fd = -1;

    void offer(int sw, const FmsimEmit &e) {
        if (sw != unit || (port != -1 && e.port != port)) return;
        std::vector<std::uint8_t> body;
        body.reserve(kFrameHeader + e.bytes.size());
        body.push_back(kFrame);
        auto put = [&body](const auto &v) {
            const auto *b = reinterpret_cast<const std::uint8_t *>(&v);
            body.insert(body.end(), b, b + sizeof v);
        };
        std::uint64_t ns =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
        put(ns);
        put(static_cast<std::int32_t>(e.port));
        body.push_back(static_cast<std::uint8_t>(e.kind));
        {
            std::lock_guard<std::mutex> g(m);
            if (frames.size() >= kCaptureQueue) {
                ++dropped;
                return;
            }
            put(dropped);
            body.insert(body.end(), e.bytes.begin(), e.bytes.end());
            std::vector<std::uint8_t> msg;
            append_message(msg, body);
            frames.push_back(std::move(msg));
        }
        wake(wake_fd);
    }
};

struct Conn {
    Fd fd;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    std::size_t out_at = 0;
    Clock::time_point last = Clock::now();
    bool closing = false;  // close once the reply is out
    std::shared_ptr<CaptureQueue> cap;
    int sink = 0;

    bool pending_out() const { return out_at < out.size(); }
    ~Conn() {
        if (sink != 0) remove_egress_sink(sink);
    }
};

class Server {
public:
    bool start(const std::string &path, std::string *why);
    void stop();

private:
    void run();
    bool serve(Conn &c, short revents);
    void process(Conn &c);
    void feed_capture(Conn &c);

    std::mutex life_;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    Fd listen_, stop_, wake_;
    std::thread thread_;
    std::vector<std::unique_ptr<Conn>> conns_;
};

Server &server() {
    // Never destroyed: the exit handler stops it while everything it uses
    // still exists.
    static auto *s = new Server;
    return *s;
}

// True when something accepts connections on path.
bool answers(const std::string &path) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return true;
    return errno == EAGAIN || errno == EINPROGRESS;  // a full backlog is still a listener
}

bool Server::start(const std::string &path, std::string *why) {
    std::lock_guard<std::mutex> g(life_);
    if (thread_.joinable()) {
        *why = "the control socket is served already";
        return false;
    }
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) {
        *why = "socket path too long: " + path;
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *why = path + " exists and is not a socket";
            return false;
        }
        if (answers(path)) {
            *why = "another fmsim answers on " + path;
            return false;
        }
        ::unlink(path.c_str());  // left by a process that is gone
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // The socket file takes the socket's mode, less the umask: 0600 from the
    // start, so it is never open to others; chmod then restores what a
    // strict umask took from the owner.
    ::fchmod(fd.get(), 0600);
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        *why = "bind " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), 16) != 0 ||
        ::stat(path.c_str(), &st) != 0) {
        *why = "set up " + path + ": " + std::strerror(errno);
        ::unlink(path.c_str());
        return false;
    }
    Fd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), wk(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop.get() < 0 || wk.get() < 0) {
        *why = std::string("eventfd: ") + std::strerror(errno);
        ::unlink(path.c_str());
        return false;
    }
    path_ = path;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    listen_ = std::move(fd);
    stop_ = std::move(stop);
    wake_ = std::move(wk);
    thread_ = std::thread([this] { run(); });
    return true;
}

void Server::stop() {
    std::lock_guard<std::mutex> g(life_);
    if (!thread_.joinable()) return;
    wake(stop_.get());
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // exit() called from a request: nothing to wait for
    } else {
        thread_.join();
    }
    conns_.clear();
    listen_.reset();
    stop_.reset();
    wake_.reset();
    // Only our own socket file: another fmsim may have taken the path since.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
}

void Server::run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stop_.get(), POLLIN, 0});
        fds.push_back({wake_.get(), POLLIN, 0});
        fds.push_back(
            {listen_.get(), static_cast<short>(conns_.size() < kMaxClients ? POLLIN : 0), 0});
        for (auto &c : conns_) {
            short ev = 0;
            if (c->cap || (!c->pending_out() && !c->closing)) ev |= POLLIN;
            if (c->pending_out()) ev |= POLLOUT;
            fds.push_back({c->fd.get(), ev, 0});
        }
        int n = ::poll(fds.data(), fds.size(), 1000);
        if (n < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) {
            drain(wake_.get());
            for (auto &c : conns_)
                if (c->cap) feed_capture(*c);
        }
        // Connections are served before new ones are taken, so that the
        // indexes of fds still match conns_.
        std::size_t count = conns_.size();
        std::vector<bool> keep(count, true);
        for (std::size_t i = 0; i < count; ++i) keep[i] = serve(*conns_[i], fds[3 + i].revents);
        for (std::size_t i = count; i-- > 0;)
            if (!keep[i]) conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
        if (fds[2].revents & POLLIN) {
            for (;;) {
                int cfd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (cfd < 0) break;
                auto c = std::make_unique<Conn>();
                c->fd = Fd(cfd);
                if (conns_.size() >= kMaxClients) break;  // closed as c goes
                conns_.push_back(std::move(c));
            }
        }
    }
}

// Reads, answers and writes what the connection allows now; false when it
// is to be closed.
bool Server::serve(Conn &c, short revents) {
    auto now = Clock::now();
    if (revents & POLLIN) {
        std::size_t old = c.in.size();
        std::size_t chunk = 256u << 10;
        if (c.cap) old = 0, c.in.clear();  // a capture client has nothing to say
        c.in.resize(old + chunk);
        ssize_t r = ::read(c.fd.get(), c.in.data() + old, chunk);
        if (r == 0) return false;
        if (r < 0) {
            c.in.resize(old);
            if (errno != EAGAIN && errno != EINTR) return false;
        } else {
            c.in.resize(old + static_cast<std::size_t>(r));
            c.last = now;
        }
    } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        return false;
    }
    if (!c.cap) process(c);
    if (c.pending_out()) {
        ssize_t w =
            ::send(c.fd.get(), c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL);
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (w > 0) {
            c.out_at += static_cast<std::size_t>(w);
            c.last = now;
        }
        if (!c.pending_out()) {
            c.out.clear();
            c.out_at = 0;
            if (c.closing) return false;
            if (c.cap)
                feed_capture(c);
            else
                process(c);  // the next request waited for this reply
        }
    }
    bool busy = c.pending_out() || !c.in.empty();
    if (busy && now - c.last > kStallTimeout) return false;
    if (!busy && !c.cap && now - c.last > kIdleTimeout) return false;
    return true;
}

// Answers the complete requests received, one reply at a time: the next
// request is read only once the last reply is out, which bounds what a
// client that does not read can make the server hold.
void Server::process(Conn &c) {
    std::size_t at = 0;
    while (!c.pending_out() && !c.closing && !c.cap && c.in.size() - at >= 4) {
        std::uint32_t len;
        std::memcpy(&len, c.in.data() + at, 4);
        if (len == 0 || len > kMaxRequest) {
            std::string msg = "message length " + std::to_string(len) + " is not 1 to " +
                              std::to_string(kMaxRequest);
            std::vector<std::uint8_t> body{kError};
            body.insert(body.end(), msg.begin(), msg.end());
            append_message(c.out, body);
            c.closing = true;  // the stream cannot be followed past a bad length
            break;
        }
        if (c.in.size() - at - 4 < len) break;
        Handled h = handle(c.in.data() + at + 4, len);
        at += 4 + static_cast<std::size_t>(len);
        append_message(c.out, h.reply);
        if (h.capture && h.reply.size() == 1) {
            auto q = std::make_shared<CaptureQueue>();
            q->unit = h.unit;
            q->port = h.port;
            q->wake_fd = wake_.get();
            c.cap = q;
            c.sink = add_egress_sink([q](int sw, const FmsimEmit &e) { q->offer(sw, e); });
        }
    }
    if (at > 0) c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
    if (c.cap) c.in.clear();
}

void Server::feed_capture(Conn &c) {
    std::lock_guard<std::mutex> g(c.cap->m);
    while (!c.cap->frames.empty() && c.out.size() - c.out_at < kMaxPendingOut) {
        const auto &m = c.cap->frames.front();
        c.out.insert(c.out.end(), m.begin(), m.end());
        c.cap->frames.pop_front();
    }
}

std::atomic<bool> g_disabled{false};

void stop_at_exit() {
    server().stop();
}

}  // namespace

bool start_server(const std::string &path, std::string *why) {
    if (!server().start(path, why)) return false;
    static const bool registered = [] {
        // The sinks' table is made before the handler is registered, so that
        // it is still there when the handler detaches the captures' sinks.
        deliver_egress(0, FmsimOutcome{});
        return std::atexit(stop_at_exit) == 0;
    }();
    (void)registered;
    return true;
}

void stop_server() {
    server().stop();
}

void disable() {
    g_disabled.store(true);
}

}  // namespace fmsim::control

void fmsim_control_disable() {
    fmsim::control::disable();
}

namespace fmsim {
namespace {

// The socket is fmsim's own: a process that links fmsim's test interface
// (tests, fuzz targets, benchmarks) calls fmsim_control_disable before it
// starts, and FMSIM_CONTROL=off leaves it out of any process.
fm_status start_control() {
    const char *env = std::getenv("FMSIM_CONTROL");
    if (control::g_disabled.load() || (env != nullptr && std::strcmp(env, "off") == 0))
        return FM_OK;
    std::string why;
    std::string path = control::socket_path();
    if (!control::start_server(path, &why)) {
        std::fprintf(stderr, "fmsim: no control socket: %s (FMSIM_CONTROL=off runs without it)\n",
                     why.c_str());
        return FM_FAIL;
    }
    return FM_OK;
}

[[maybe_unused]] const bool registered = add_start_hook(kStartControl, start_control);

}  // namespace
}  // namespace fmsim
