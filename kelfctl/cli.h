// cli.h - kelfctl's command line: options, then one command or a batch.
#pragma once

#include <iosfwd>

#include "session.h"

namespace kelfctl {

// Runs kelfctl as main would. With transport null, talks to the socket the
// options name; tests pass their own. stdin serves -b -.
int kelfctl_main(int argc, char **argv, Transport *transport, std::istream &stdin_,
                 std::ostream &out, std::ostream &err);

}  // namespace kelfctl
