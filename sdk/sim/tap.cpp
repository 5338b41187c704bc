// tap.cpp - TAP interfaces attached to ports (FMSIM_TAP).
//
// One reader thread polls every TAP descriptor and a stop pipe; each frame
// it reads is injected into its port, on that thread. Frames leaving a port
// reach an egress sink that writes them to the port's interface, on whatever
// thread injected the frame. The write never blocks: when the interface
// takes no more, the frame is counted and dropped, as a full transmit queue
// would drop it, so forwarding is never held up by a slow reader.
#include "tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "egress.h"
#include "events.h"
#include "fmsim_forward.h"
#include "sim.h"

namespace fmsim {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// A decimal number of at most 9 digits, so it fits an int.
bool parse_int(std::string_view s, int *out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

std::string quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

// One group: [UNIT:]ITEM[,ITEM]..., ITEM being PORT or FIRST-LAST.
bool parse_group(std::string_view group, int switches,
                 const std::function<bool(int, int)> &has_port,
                 std::set<std::pair<int, int>> *ports, std::string *error) {
    int first_sw = 0, last_sw = switches - 1;
    std::string_view list = group;
    if (auto colon = group.find(':'); colon != std::string_view::npos) {
        std::string_view unit = group.substr(0, colon);
        int u = 0;
        if (!parse_int(unit, &u)) {
            *error = quoted(unit) + " is not a unit number";
            return false;
        }
        if (u >= switches) {
            *error = "unit " + std::to_string(u) + ": the platform has switches 0 to " +
                     std::to_string(switches - 1);
            return false;
        }
        first_sw = last_sw = u;
        list = group.substr(colon + 1);
    }
    if (list.empty()) {
        *error = quoted(group) + " names no port";
        return false;
    }
    while (true) {
        auto comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        int lo = 0, hi = 0;
        auto dash = item.find('-');
        bool ok = dash == std::string_view::npos ? parse_int(item, &lo) && parse_int(item, &hi)
                                                 : parse_int(item.substr(0, dash), &lo) &&
                                                       parse_int(item.substr(dash + 1), &hi);
        if (!ok) {
            *error = quoted(item) + " is not a port or a range of ports (FIRST-LAST)";
            return false;
        }
        if (lo > hi) {
            *error = "the range " + quoted(item) + " runs backwards";
            return false;
        }
        for (int sw = first_sw; sw <= last_sw; ++sw)
            for (int p = lo; p <= hi; ++p) {
                // Stops at the first port that is missing, so a range of a
                // billion costs no more than the ports the switch has.
                if (!has_port(sw, p)) {
                    *error = "switch " + std::to_string(sw) + " has no port " + std::to_string(p);
                    return false;
                }
                ports->emplace(sw, p);
            }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return true;
}

// The largest frame a TAP interface hands over: its MTU goes up to 65535,
// plus the Ethernet header and two VLAN tags.
constexpr std::size_t kReadBuffer = 65535 + 14 + 8;
// Frames read from one interface before the others get their turn.
constexpr int kReadBudget = 64;

struct Tap {
    TapPort where;
    std::string name;
    int fd = -1;
    std::atomic<bool> alive{true};
    std::atomic<unsigned long> dropped{0};  // egress frames the interface did not take
};

// Creates the interface of a port; -1 with *error when it cannot.
int open_tap(const std::string &name, std::string *error) {
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        *error =
            (e == EACCES || e == EPERM ? "FMSIM_TAP needs root or CAP_NET_ADMIN to create " + name
                                       : "cannot create " + name) +
            ": /dev/net/tun: " + std::strerror(e);
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        int e = errno;
        ::close(fd);
        if (e == EPERM)
            *error = "FMSIM_TAP needs CAP_NET_ADMIN to create " + name + ": " + std::strerror(e);
        else if (e == EBUSY)
            *error = "cannot create " + name + ": an interface of that name is in use (" +
                     std::strerror(e) + ")";
        else
            *error = "cannot create " + name + ": " + std::strerror(e);
        return -1;
    }
    return fd;
}

// Sets an interface up in the namespace it was created in, so that it
// carries frames at once; moving it to another namespace sets it down again.
void bring_up(const std::string &name) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        (void)::ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    ::close(s);
}

// The running TAP ports of the process: made once by start_taps, stopped
// when the process exits.
class TapPorts {
public:
    TapPorts() { direct_.fill({}); }
    ~TapPorts() { stop(); }
    TapPorts(const TapPorts &) = delete;
    TapPorts &operator=(const TapPorts &) = delete;

    // Creates every interface; on failure closes those made and says why.
    bool open(const std::vector<TapPort> &ports, std::string *error) {
        taps_ = std::vector<Tap>(ports.size());
        for (auto &row : direct_) row.fill(-1);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            Tap &t = taps_[i];
            t.where = ports[i];
            t.name = tap_name(ports[i]);
            t.fd = open_tap(t.name, error);
            if (t.fd < 0) {
                close_all();
                return false;
            }
            if (t.where.port >= 0 && t.where.port < kDirect)
                direct_[static_cast<std::size_t>(t.where.sw)]
                       [static_cast<std::size_t>(t.where.port)] = static_cast<int>(i);
        }
        for (const Tap &t : taps_) bring_up(t.name);
        return true;
    }

    bool start(std::string *error) {
        if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        sink_ = add_egress_sink([this](int sw, const FmsimEmit &e) { send(sw, e); });
        reader_ = std::thread([this] { run(); });
        return true;
    }

private:
    static constexpr int kDirect = kMaxPortIndex;

    Tap *find(int sw, int port) {
        if (sw < 0 || sw >= FM_MAX_NUM_SWITCHES) return nullptr;
        if (port >= 0 && port < kDirect) {
            int i = direct_[static_cast<std::size_t>(sw)][static_cast<std::size_t>(port)];
            return i < 0 ? nullptr : &taps_[static_cast<std::size_t>(i)];
        }
        for (Tap &t : taps_)
            if (t.where.sw == sw && t.where.port == port) return &t;
        return nullptr;
    }

    // The egress sink: one frame to the port's interface, if it has one.
    void send(int sw, const FmsimEmit &e) {
        Tap *t = find(sw, e.port);
        if (t == nullptr || !t->alive.load(std::memory_order_relaxed)) return;
        if (::write(t->fd, e.bytes.data(), e.bytes.size()) < 0)
            t->dropped.fetch_add(1, std::memory_order_relaxed);
    }

    void run() {
        std::vector<pollfd> fds(taps_.size() + 1);
        fds[0] = {stop_pipe_[0], POLLIN, 0};
        for (std::size_t i = 0; i < taps_.size(); ++i) fds[i + 1] = {taps_[i].fd, POLLIN, 0};
        auto buf = std::make_unique<std::uint8_t[]>(kReadBuffer);
        while (true) {
            int n = ::poll(fds.data(), fds.size(), -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::perror("fmsim: TAP ports: poll");
                return;
            }
            if (fds[0].revents != 0) return;
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                Tap &t = taps_[i - 1];
                if (!drain(t, buf.get()) ||
                    (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    // The interface is gone (its namespace was deleted):
                    // poll skips a negative descriptor from now on.
                    if (t.alive.exchange(false))
                        std::fprintf(stderr, "fmsim: %s no longer carries frames\n",
                                     t.name.c_str());
                    fds[i].fd = -1;
                }
            }
        }
    }

    // Reads what the interface holds, up to the budget, into its port.
    // false when the interface failed.
    bool drain(Tap &t, std::uint8_t *buf) {
        for (int k = 0; k < kReadBudget; ++k) {
            ssize_t r = ::read(t.fd, buf, kReadBuffer);
            if (r > 0) {
                fmsim_inject(t.where.sw, t.where.port, buf, static_cast<std::size_t>(r));
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            return r < 0 && errno == EAGAIN;
        }
        return true;
    }

    void stop() {
        // The sink first: once removed it runs nowhere, so no write meets a
        // closed descriptor.
        if (sink_ != 0) remove_egress_sink(sink_);
        sink_ = 0;
        if (reader_.joinable()) {
            char c = 0;
            (void)!::write(stop_pipe_[1], &c, 1);
            reader_.join();
        }
        for (int &fd : stop_pipe_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
        for (const Tap &t : taps_)
            if (unsigned long d = t.dropped.load(); d != 0)
                std::fprintf(
                    stderr,
                    "fmsim: %s: %lu frames not taken by the interface (down, or its queue full)\n",
                    t.name.c_str(), d);
        close_all();
    }

    void close_all() {
        for (Tap &t : taps_) {
            if (t.fd >= 0) ::close(t.fd);
            t.fd = -1;
        }
    }

    std::vector<Tap> taps_;
    // Index into taps_ by switch and port, for the ports below kDirect; the
    // others (internal ports) are searched.
    std::array<std::array<int, kDirect>, FM_MAX_NUM_SWITCHES> direct_;
    int stop_pipe_[2] = {-1, -1};
    int sink_ = 0;
    std::thread reader_;
};

}  // namespace

bool parse_tap_ports(std::string_view text, int switches,
                     const std::function<bool(int sw, int port)> &has_port,
                     std::vector<TapPort> *out, std::string *error) {
    std::set<std::pair<int, int>> ports;
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_blank(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !is_blank(text[end])) ++end;
        if (!parse_group(text.substr(i, end - i), switches, has_port, &ports, error)) return false;
        i = end;
    }
    if (ports.empty()) {
        *error = "names no port";
        return false;
    }
    out->clear();
    for (const auto &[sw, port] : ports) out->push_back({sw, port});
    return true;
}

std::string tap_name(const TapPort &p) {
    return "fms" + std::to_string(p.sw) + "p" + std::to_string(p.port);
}

namespace {

// Started by fmInitialize, once per process.
fm_status start_taps() {
    const char *v = std::getenv("FMSIM_TAP");
    if (v == nullptr || *v == '\0') return FM_OK;
    // The platform's layout is read without fmsim's lock: fmInitialize calls
    // here holding the event lock, which is only ever taken after fmsim's.
    // The layout changes only when a test rebuilds the platform, never while
    // the SDK starts.
    const auto &all = switches();
    auto has_port = [&all](int sw, int port) {
        const Switch &s = all[static_cast<std::size_t>(sw)];
        return s.present && port_index(s, port) >= 0;
    };
    std::vector<TapPort> ports;
    std::string error;
    if (!parse_tap_ports(v, static_cast<int>(all.size()), has_port, &ports, &error)) {
        std::fprintf(stderr, "fmsim: FMSIM_TAP=%s: %s\n", v, error.c_str());
        return FM_ERR_INVALID_ARGUMENT;
    }
    auto taps = std::make_unique<TapPorts>();
    if (!taps->open(ports, &error) || !taps->start(&error)) {
        std::fprintf(stderr, "fmsim: %s\n", error.c_str());
        return FM_ERR_PLATFORM;
    }
    // Made after the sink registry (start() attached a sink), so destroyed
    // before it when the process exits: the thread stops, the interfaces go.
    static std::unique_ptr<TapPorts> running(std::move(taps));
    return FM_OK;
}

[[maybe_unused]] const bool registered = add_start_hook(kStartTaps, start_taps);

}  // namespace

}  // namespace fmsim
