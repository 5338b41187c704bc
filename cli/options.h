// options.h - the options before a client's command, in one grammar for
// kelfctl and fmsimctl: --long, -s, iproute2's single-dash -long, and
// --long=VALUE; "--" ends them, and so does the first word that is not one.
#pragma once

#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace kelfctl {

struct Option {
    const char *lng;
    char shrt;  // 0: none
    bool value;
    const char *alias = nullptr;  // another long spelling ("detail")
};

// An option line that cannot be read; the message names the word.
struct OptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The option a word names, and its value when written --long=VALUE;
// nullptr when it names none of the table.
const Option *find_option(std::span<const Option> table, const std::string &word,
                          std::string *inline_value, bool *has_inline);

// Reads the options from argv[1] on, calling each(option, value) in order
// (value empty for an option without one); returns the index of the first
// word after them. each may throw to stop. OptionError for an unknown
// option, a value missing, or a value given to an option that takes none.
int parse_options(int argc, char **argv, std::span<const Option> table,
                  const std::function<void(const Option &, const std::string &)> &each);

}  // namespace kelfctl
