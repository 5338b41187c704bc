// access.h - who may do what over the control socket. Root may make every
// request; members of the read group (kelfd-read, created by the package)
// may make the requests that only read: lists, queries, counters, port
// property reads, the hello and the read-backs. The client's identity comes
// from the socket (its credentials), never from what it sends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelf::access {

// The group whose members may read; KELFD_READ_GROUP names another (tests).
std::string read_group();

struct Peer {
    bool known = false;  // the credentials could be read
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
    bool may_change = false;  // root, or a client as privileged as kelfd
};

// The credentials of the client on connection fd.
Peer peer_of(int fd);

// Whether the request (with everything its envelopes hold) only reads.
bool only_reads(const unsigned char *rec, std::size_t n);

// The socket at path is given to the read group, mode 0660, when the
// group exists; else it stays 0600 (root alone).
void open_to_readers(const std::string &path);

// One line per change kelfd makes, with who asked: "kelfd: audit: uid 0
// pid 123 command 5 (rule add) unit 0 group 0 id 7: 7". Reads make none.
void audit(const Peer &p, const unsigned char *rec, std::size_t n, const void *reply,
           std::size_t reply_size);

}  // namespace kelf::access
