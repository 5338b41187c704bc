// batch.h - commands from a file, one a line: kelfctl -b FILE.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "session.h"

namespace kelfctl {

// The words of one line: blanks separate words, single or double quotes
// group them, and a word starting with # ends the line. A quote left open
// is a usage failure.
std::vector<std::string> split_line(const std::string &line);

// Runs every line of in; name is what failures report (FILE:LINE). Stops
// at the first failing command unless force; returns the exit status of
// the first failure, 0 when every command succeeded.
int run_batch(Session &s, std::istream &in, const std::string &name, bool force);

}  // namespace kelfctl
