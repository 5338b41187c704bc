#include "words.h"

#include <algorithm>

namespace kelfctl {

int edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<int>> d(a.size() + 1, std::vector<int>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<int>(i);
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

Resolved resolve(std::string_view word, const std::vector<Choice> &choices) {
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (word == choices[i].name) return {Match::Found, i, {}, {}};
        for (auto a : choices[i].aliases)
            if (word == a) return {Match::Found, i, {}, {}};
    }
    Resolved r{Match::Unknown, 0, {}, {}};
    if (!word.empty()) {
        for (std::size_t i = 0; i < choices.size(); ++i)
            if (choices[i].name.starts_with(word)) {
                r.index = i;
                r.candidates.push_back(choices[i].name);
            }
    }
    if (r.candidates.size() == 1) return {Match::Found, r.index, {}, {}};
    if (r.candidates.size() > 1) {
        r.match = Match::Ambiguous;
        return r;
    }
    // A near miss: the closest name, if it is close for a word this long.
    int best = 3;
    for (const auto &c : choices) {
        int d = edit_distance(word, c.name);
        int allowed = word.size() <= 3 ? 1 : 2;
        if (d <= allowed && d < best) best = d, r.near = c.name;
    }
    return r;
}

std::string unresolved(std::string_view word, const Resolved &r, std::string_view kind,
                       std::string_view where) {
    std::string w(word);
    if (r.match == Match::Ambiguous) {
        std::string list;
        for (auto c : r.candidates) list += (list.empty() ? "" : ", ") + std::string(c);
        return std::string(kind) + " '" + w + "'" + std::string(where) + " is ambiguous: " + list;
    }
    std::string msg = "unknown " + std::string(kind) + " '" + w + "'" + std::string(where);
    if (r.near) msg += "; did you mean '" + std::string(*r.near) + "'?";
    return msg;
}

}  // namespace kelfctl
