// kelfclient.h - libkelfclient, the client library: talk to kelfd over its
// control socket. One request per connection: connect, send the request,
// read the reply until the daemon closes the connection. Every step is
// bounded by the client's time-out, so a daemon that hangs (or anything
// else listening on the path that never answers) cannot hang the client.
#pragma once

#include <kelfd/kel_lib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelfclient {

// $KELF_RUN_DIR/kelfctl.sock, or /var/run/kelfctl.sock when unset.
std::string default_socket_path();

// How long connect, send and receive may each wait.
inline constexpr std::chrono::milliseconds kDefaultTimeout{5000};

struct Status {
    enum Code {
        Ok,
        NoDaemon,  // nothing listens on the socket path
        Denied,    // the socket is there, but this user may not use it
        Io,        // the exchange failed half-way
        Short,     // the daemon closed before the whole reply came
        Timeout,   // connect, send or receive waited longer than the time-out
    };
    Code code = Ok;
    std::string message;
    explicit operator bool() const { return code == Ok; }
};

class Client {
public:
    // A zero time-out waits as long as the daemon takes.
    explicit Client(std::string socket_path = default_socket_path(),
                    std::chrono::milliseconds timeout = kDefaultTimeout);
    const std::string &socket_path() const { return path_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    // Sends len bytes and collects every byte the daemon sends back.
    Status exchange(const void *request, std::size_t len, std::vector<unsigned char> *reply) const;

    // Sends a request and expects a reply of exactly `size` bytes in out.
    Status call(const void *request, std::size_t len, void *out, std::size_t size) const;

    // Sends a request whose reply is the 4-byte status word.
    Status status(const void *request, std::size_t len, std::int32_t *result) const;

    // Sends a request that carries only a command code and a unit.
    Status command(std::uint32_t code, std::int32_t unit, std::int32_t *result) const;

private:
    std::string path_;
    std::chrono::milliseconds timeout_;
};

}  // namespace kelfclient
