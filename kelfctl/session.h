// session.h - what every command needs: its words, the way to kelfd, the
// unit and output mode, and the three ways a command fails.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <kelfd/kel_lib.h>
#include <kelfd/kelfclient.h>
#include "output.h"
#include "values.h"

namespace kelfctl {

enum ExitStatus { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitUnreachable = 3 };

// A command that cannot go on. Usage failures get a pointer to the help of
// the object in use appended when printed.
struct Failure : std::runtime_error {
    Failure(int exit_status, const std::string &msg) : std::runtime_error(msg), status(exit_status) {}
    int status;
    bool printed = false;  // the command printed its JSON document already
};
[[noreturn]] void usage(const std::string &msg);
[[noreturn]] void refused(const std::string &msg);

// The words of one command, consumed from the front.
class Args {
public:
    explicit Args(std::vector<std::string> words) : w_(std::move(words)) {}
    bool done() const { return i_ >= w_.size(); }
    std::string_view peek() const { return done() ? std::string_view() : w_[i_]; }
    // The next word; a usage failure naming what was expected when none is left.
    std::string next(std::string_view what);
    // Takes the next word if it is kw (or alias).
    bool accept(std::string_view kw, std::string_view alias = {});
    std::int64_t number(std::string_view what, std::int64_t lo, std::int64_t hi);
    int port(std::string_view what, int lo = 0, int hi = 65535) {
        return static_cast<int>(number(what, lo, hi));
    }
    std::uint32_t u32(std::string_view what) {
        return static_cast<std::uint32_t>(number(what, 0, UINT32_MAX));
    }
    std::vector<int> ports(std::string_view what, int lo, int hi, int all_hi = 0);
    bool on_off(std::string_view what);
    // A usage failure for a word left over.
    void finish() const;

private:
    std::vector<std::string> w_;
    std::size_t i_ = 0;
};

// Runs a value parser, turning its error into a usage failure.
template <class F>
auto value(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const ValueError &e) {
        usage(e.what());
    }
}

// One request, one reply. Tests put a fake in its place.
class Transport {
public:
    virtual ~Transport() = default;
    virtual kelfclient::Status exchange(const void *request, std::size_t len,
                                    std::vector<unsigned char> *reply) = 0;
    virtual std::string where() const = 0;
};

// The daemon's socket.
class SocketTransport : public Transport {
public:
    explicit SocketTransport(std::string path) : client_(std::move(path)) {}
    kelfclient::Status exchange(const void *request, std::size_t len,
                            std::vector<unsigned char> *reply) override;
    std::string where() const override { return client_.socket_path(); }

private:
    kelfclient::Client client_;
};

class Session {
public:
    Session(Transport &t, std::ostream &out, std::ostream &err) : t_(t), out_(out), err_(err) {}

    int unit = 0;
    bool json = false;

    std::ostream &out() { return out_; }
    std::ostream &err() { return err_; }
    void print(const Output &o);
    void print_ok();  // a command that changed something and has nothing to show

    // Fresh, zeroed request records for this unit.
    if_kel_t kel(int code) const;
    if_kel_lbg_t lbg(int code) const;
    if_kel_mask_t mask(int code) const;

    // Sends a request whose reply is the status word.
    std::int32_t status(const void *req, std::size_t len);
    // Sends a request whose reply is a record of size bytes.
    void record(const void *req, std::size_t len, void *reply, std::size_t size);

    template <class R>
    std::int32_t status(const R &req) {
        return status(&req, sizeof req);
    }

    // Sends any request and returns the reply as it came.
    std::vector<unsigned char> raw(const void *req, std::size_t len) { return exchange(req, len); }

    // The status word as a value: negative means kelfd refused "what".
    std::int32_t value(std::int32_t st, const std::string &what);
    // The status word as a switch status: anything but 0 is a refusal.
    void sdk_ok(std::int32_t st, const std::string &what);

private:
    std::vector<unsigned char> exchange(const void *req, std::size_t len);
    Transport &t_;
    std::ostream &out_;
    std::ostream &err_;
};

}  // namespace kelfctl
