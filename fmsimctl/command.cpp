#include "command.h"

#include <fmsim/control.h>

#include <algorithm>

#include "values.h"

namespace fmsimctl {

int port_word(const std::string &w, const char *what) {
    try {
        return static_cast<int>(kelfctl::parse_int(w, what, 0, 65535));
    } catch (const kelfctl::ValueError &e) {
        usage(e.what());
    }
}

std::optional<std::string> take_pair(Words &words, const std::string &key, const char *what) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] != key) continue;
        if (i + 1 >= words.size()) usage(key + " needs " + what);
        std::string v = words[i + 1];
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                    words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        if (std::find(words.begin(), words.end(), key) != words.end()) usage(key + " given twice");
        return v;
    }
    return std::nullopt;
}

bool take_flag(Words &words, const std::string &key) {
    auto it = std::find(words.begin(), words.end(), key);
    if (it == words.end()) return false;
    words.erase(it);
    return true;
}

int in_port(Words &words) {
    auto p = take_pair(words, "in-port", "a PORT");
    if (!p) usage("in-port PORT is missing");
    return port_word(*p, "in-port PORT");
}

std::string take_file(Words &w, const char *what) {
    if (w.empty()) usage(std::string(what) + " is missing");
    std::string f = w.front();
    w.erase(w.begin());
    return f;
}

void no_more(const Words &w) {
    if (!w.empty()) usage("unexpected word '" + w.front() + "'");
}

Json parse_json(const std::vector<std::uint8_t> &reply) {
    Json j = Json::parse(reply.begin() + 1, reply.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) refused("fmsim's reply is not a JSON object");
    return j;
}

std::string drop_name(std::uint8_t code) {
    const char *n = fmsim::control::drop_name(code);
    return n != nullptr ? n : std::to_string(code);
}

std::string kind_name(std::uint8_t code) {
    const char *n = fmsim::control::emit_name(code);
    return n != nullptr ? n : std::to_string(code);
}

}  // namespace fmsimctl
