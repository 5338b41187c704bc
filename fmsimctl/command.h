// command.h - what fmsimctl's commands share: the options they run under,
// the words of their arguments and the replies they read. One file per
// command (trace, send and replay, capture, ports, stats) implements cmd_*.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "link.h"
#include "output.h"

namespace fmsimctl {

using Json = nlohmann::ordered_json;

// The options of the command line.
struct Ctx {
    int unit = 0;
    bool json = false, pretty = false;
    std::string socket;
    std::chrono::milliseconds timeout{10000};
    std::ostream *out = nullptr, *err = nullptr;
    std::string dump(const Json &j) const { return j.dump(pretty ? 2 : -1); }
};

using Words = std::vector<std::string>;

int cmd_trace(Ctx &c, Words &w);
int cmd_send(Ctx &c, Words &w);
int cmd_replay(Ctx &c, Words &w);
int cmd_capture(Ctx &c, Words &w);
int cmd_ports(Ctx &c, Words &w);
int cmd_stats(Ctx &c, Words &w);

// Takes "KEY VALUE" out of words; nullopt when KEY is not there.
std::optional<std::string> take_pair(Words &words, const std::string &key, const char *what);
bool take_flag(Words &words, const std::string &key);
// The first word, a file name; a usage Failure naming what when none is left.
std::string take_file(Words &w, const char *what);
// "in-port PORT", which trace, send and replay need.
int in_port(Words &words);
int port_word(const std::string &w, const char *what);
// A usage Failure for the first word left over.
void no_more(const Words &w);

// A reply's JSON object; a refused Failure when it is none.
Json parse_json(const std::vector<std::uint8_t> &reply);
// fmsim's port table reply as fmsimctl prints it; a refused Failure when it
// holds no port list.
kelfctl::Table port_table(const Json &reply);
// A drop or emit code's name, or its number when this fmsimctl does not
// know it.
std::string drop_name(std::uint8_t code);
std::string kind_name(std::uint8_t code);

// The body of a trace request (trace, and replay --trace).
std::vector<std::uint8_t> trace_request(int unit, int port, const std::vector<std::uint8_t> &frame);

}  // namespace fmsimctl
