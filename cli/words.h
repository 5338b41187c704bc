// words.h - how kelfctl recognises a word among the ones a place allows, as
// iproute2 does: the whole word, or any prefix that only one of them has
// ("r l" is "rule list"). An ambiguous prefix is refused with the
// candidates; a word that is none of them gets a "did you mean" when one
// is close.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelfctl {

struct Choice {
    std::string_view name;
    std::vector<std::string_view> aliases = {};  // whole-word spellings (cfg, ls, r)
};

enum class Match { Found, Ambiguous, Unknown };

struct Resolved {
    Match match;
    std::size_t index = 0;                     // Found
    std::vector<std::string_view> candidates;  // Ambiguous: every name the prefix starts
    std::optional<std::string_view> near;      // Unknown: a name within two edits
};

Resolved resolve(std::string_view word, const std::vector<Choice> &choices);

// The message of a word that did not resolve: "'s' is ambiguous: show,
// stats" or "unknown command 'shwo' for rule; did you mean 'show'?".
// kind and where word it: ("command", " for rule").
std::string unresolved(std::string_view word, const Resolved &r, std::string_view kind,
                       std::string_view where = {});

// Edits (insert, delete, replace, swap of neighbours) from a to b.
int edit_distance(std::string_view a, std::string_view b);

}  // namespace kelfctl
