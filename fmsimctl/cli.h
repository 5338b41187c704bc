// cli.h - fmsimctl's command line: options, then one command.
#pragma once

#include <iosfwd>

namespace fmsimctl {

// Runs fmsimctl as main would; returns the exit status.
int fmsimctl_main(int argc, char **argv, std::ostream &out, std::ostream &err);

}  // namespace fmsimctl
