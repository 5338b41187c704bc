// cli.h - kelfctl's command line: options, then one command or a batch.
#pragma once

#include <iosfwd>
#include <string>

#include "session.h"

namespace kelfctl {

// Runs kelfctl as main would. With transport null, talks to the socket the
// options name; tests pass their own. stdin serves -b -.
int kelfctl_main(int argc, char **argv, Transport *transport, std::istream &stdin_,
                 std::ostream &out, std::ostream &err);

// The directory of kelfd's pid file and kelfctl's record: the socket's own.
// A socket path that is a link (the service's /run/kelfctl.sock pointing
// into /run/kelfd) leads to the directory the socket really lies in.
std::string run_dir_of_socket(const std::string &socket);

}  // namespace kelfctl
