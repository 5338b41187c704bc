#include "batch.h"

#include <optional>

#include "objects.h"
#include "staging.h"

namespace kelfctl {

std::vector<std::string> split_line(const std::string &line) {
    std::vector<std::string> words;
    std::string w;
    bool in_word = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                w += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (in_word) words.push_back(w);
            w.clear();
            in_word = false;
        } else if (c == '#' && !in_word) {
            break;
        } else {
            w += c;
            in_word = true;
        }
    }
    if (quote != 0) usage("a quote is left open");
    if (in_word) words.push_back(w);
    return words;
}

namespace {

// One line: optional -u N, then OBJECT COMMAND ARGS. A leading "kelfctl"
// is dropped, so commands can be pasted as typed.
int run_line(Session &s, const std::string &line) {
    std::vector<std::string> words;
    try {
        words = split_line(line);
    } catch (const Failure &f) {
        s.err() << "kelfctl: " << f.what() << '\n';
        return f.status;
    }
    std::size_t i = 0;
    if (i < words.size() && words[i] == "kelfctl") ++i;
    int unit = s.unit;
    if (i < words.size() && (words[i] == "-u" || words[i] == "--unit")) {
        if (i + 1 >= words.size()) {
            s.err() << "kelfctl: -u needs a unit; see 'kelfctl help'\n";
            return kExitUsage;
        }
        try {
            unit = static_cast<int>(parse_int(words[i + 1], "unit", 0, KEL_MAX_UNITS - 1));
        } catch (const ValueError &e) {
            s.err() << "kelfctl: " << e.what() << "; see 'kelfctl help'\n";
            return kExitUsage;
        }
        i += 2;
    }
    if (i == words.size()) return -1;  // nothing to run
    int saved = s.unit;
    s.unit = unit;
    int st =
        run_words(s, std::vector<std::string>(words.begin() + static_cast<long>(i), words.end()));
    s.unit = saved;
    return st;
}

}  // namespace

int run_batch(Session &s, std::istream &in, const std::string &name, bool force) {
    int first = kExitOk;
    std::string line;
    // The batch's rule changes take force together, at its end; a failing
    // line (without force) or an interrupt drops them all.
    std::optional<Staging> staging;
    try {
        staging.emplace(s, "the batch " + name);
    } catch (const Failure &f) {
        s.err() << "kelfctl: " << f.what() << '\n';
        return f.status;
    }
    int n = 1;
    for (; std::getline(in, line); ++n) {
        if (Staging::interrupted()) break;
        int st = run_line(s, line);
        if (st <= 0) continue;
        s.err() << "Command failed " << name << ":" << n << '\n';
        if (first == kExitOk) first = st;
        if (!force) break;
    }
    if (first != kExitOk && !force) {
        if (staging->holding())
            s.err() << "kelfctl: the batch stopped at " << name << ":" << n
                    << ": none of its rule changes took force\n";
        return first;
    }
    try {
        staging->check_interrupt();
        staging->commit_all();
    } catch (const Failure &f) {
        s.err() << "kelfctl: " << f.what() << '\n';
        print_reason(s);
        return first == kExitOk ? f.status : first;
    }
    return first;
}

}  // namespace kelfctl
