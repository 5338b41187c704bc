// dispatch.h - the command table: one row per command code, the one place
// that knows them all. Handlers read their fields from the receive buffer
// and build record replies in place; they never see a socket.
#pragma once

#include <kelfd/kel_lib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelf {

// The receive buffer, seen through each request layout.
union kel_buf {
    if_kel_t kel;
    if_kel_lbg_t lbg;
    if_kel_mask_t mask;
    unsigned char raw[KEL_BUF_SIZE];
};

struct Reply {
    const void *data;
    std::size_t size;
};

// The bytes a request of this code must hold before it is carried out: the
// layout its handler reads (4 for codes that read nothing but the code,
// if_kel_lbg_t and if_kel_mask_t for their commands, if_kel_t otherwise).
std::size_t request_size(std::uint32_t code);

// True for a code of the table that does nothing: no handler (unknown), a
// no-action code, or one always refused.
bool does_nothing(std::uint32_t code);

// Runs requests against the daemon's tables, one at a time.
class Dispatcher {
public:
    Dispatcher();

    // The buffer to receive into; zero beyond what the client sent.
    kel_buf &buffer() { return buf_; }
    // Carries out the request in the buffer and returns the reply to send.
    // The reply points into this object and stays valid until clear().
    Reply dispatch();
    // Carries out the request of n bytes at rec, whatever its code (the
    // extensions' too); the reply stays valid until clear().
    Reply run(const unsigned char *rec, std::size_t n);
    // A request of the command table: copied into the buffer (at most its
    // size, the rest zero) and dispatched. n 0: nothing to carry out, the
    // status 0 goes back.
    Reply run_command(const unsigned char *rec, std::size_t n);
    // Work that waits for a time (idle transactions aborted); the time
    // until there is more, or max() when none waits.
    std::chrono::steady_clock::duration tick();
    // Zeroes the buffer for the next request.
    void clear();
    // The status word of the last request.
    int ret_fn() const { return ret_fn_; }

private:
    kel_buf buf_;
    kel_query_rule_t query_;
    int ret_fn_ = 0;
    std::vector<unsigned char> out_;  // an extension's reply
};

}  // namespace kelf
