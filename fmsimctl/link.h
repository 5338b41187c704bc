// link.h - fmsimctl's connection to fmsim's control socket: length-framed
// messages each way (docs/fmsim.md), with a time limit on every wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace fmsimctl {

enum ExitStatus { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitUnreachable = 3 };

// A command that cannot go on, with the exit status it ends with.
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &msg)
        : std::runtime_error(msg), status(exit_status) {}
    int status;
};
[[noreturn]] void usage(const std::string &msg);
[[noreturn]] void refused(const std::string &msg);

// The socket fmsim serves: $KELF_RUN_DIR/fmsim.sock, else under /var/run.
std::string default_socket_path();

class Link {
public:
    // Connects; a Failure with kExitUnreachable when nothing answers.
    Link(const std::string &path, std::chrono::milliseconds timeout);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void send(const std::vector<std::uint8_t> &body);
    // The next message's body. wait < 0: the link's time limit. false when
    // wait ran out with nothing (only when wait >= 0 was given).
    bool receive(std::vector<std::uint8_t> *body, int wait_ms = -1);
    // A request and its reply; a server error becomes a Failure (refused).
    std::vector<std::uint8_t> call(const std::vector<std::uint8_t> &request);

private:
    void read_exact(std::uint8_t *p, std::size_t n);
    void write_all(const std::uint8_t *p, std::size_t n);
    int fd_ = -1;
    std::string path_;
    std::chrono::milliseconds timeout_;
};

// Builds request bodies field by field, in host byte order.
class Body {
public:
    explicit Body(std::uint8_t op) { b_.push_back(op); }
    template <class T>
    Body &put(T v) {
        // Grown, then copied into: gcc 12 at -O3 misreads an insert from a
        // scalar's bytes as reading past it.
        std::size_t at = b_.size();
        b_.resize(at + sizeof v);
        std::memcpy(b_.data() + at, &v, sizeof v);
        return *this;
    }
    Body &bytes(const std::vector<std::uint8_t> &v) {
        b_.insert(b_.end(), v.begin(), v.end());
        return *this;
    }
    std::vector<std::uint8_t> &data() { return b_; }

private:
    std::vector<std::uint8_t> b_;
};

// Reads reply fields from the front; a reply cut short is a Failure.
class Fields {
public:
    Fields(const std::vector<std::uint8_t> &b, std::size_t from) : b_(b), at_(from) {}
    template <class T>
    T get() {
        T v;
        need(sizeof v);
        std::memcpy(&v, b_.data() + at_, sizeof v);
        at_ += sizeof v;
        return v;
    }
    const std::uint8_t *take(std::size_t n) {
        need(n);
        const std::uint8_t *p = b_.data() + at_;
        at_ += n;
        return p;
    }
    bool done() const { return at_ >= b_.size(); }

private:
    void need(std::size_t n) const {
        if (n > b_.size() - at_) throw Failure(kExitRefused, "fmsim's reply is cut short");
    }
    const std::vector<std::uint8_t> &b_;
    std::size_t at_;
};

}  // namespace fmsimctl
