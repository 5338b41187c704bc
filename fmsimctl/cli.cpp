// cli.cpp - fmsimctl's command line: the options (help.cpp), then one
// command of the table below.
#include "cli.h"

#include <ostream>

#include "command.h"
#include "help.h"
#include "values.h"
#include "words.h"

#ifndef FMSIMCTL_VERSION
#define FMSIMCTL_VERSION "unknown"
#endif

namespace fmsimctl {
namespace {

struct Command {
    const char *name;
    const char *help;
    int (*run)(Ctx &, Words &);
};

const Command kCommands[] = {
    {"trace", kTraceHelp, cmd_trace},    {"send", kSendHelp, cmd_send},
    {"replay", kReplayHelp, cmd_replay}, {"capture", kCaptureHelp, cmd_capture},
    {"ports", kPortsHelp, cmd_ports},    {"stats", kStatsHelp, cmd_stats},
};

bool is_help(const std::string &w) {
    return w == "help" || w == "-h" || w == "--help" || w == "-help";
}

const Command &find_command(const std::string &word) {
    std::vector<kelfctl::Choice> choices;
    for (const auto &c : kCommands) choices.push_back({c.name});
    auto r = kelfctl::resolve(word, choices);
    if (r.match != kelfctl::Match::Found) usage(kelfctl::unresolved(word, r, "command"));
    return kCommands[r.index];
}

// -h and -V answer at once, whatever follows them.
struct Answered {
    const char *text;
};

void take_option(Ctx &c, const Option &o, const std::string &v) {
    try {
        switch (o.shrt) {
            case 'u':
                c.unit = static_cast<int>(kelfctl::parse_int(v, "unit", 0, 7));
                break;
            case 'S':
                c.socket = v;
                break;
            case 't':
                c.timeout =
                    std::chrono::milliseconds(kelfctl::parse_int(v, "timeout SEC", 1, 3600) * 1000);
                break;
            case 'j':
                c.json = true;
                break;
            case 'p':
                c.pretty = true;
                break;
            case 'h':
                throw Answered{kMainHelp};
            case 'V':
                throw Answered{"fmsimctl " FMSIMCTL_VERSION "\n"};
        }
    } catch (const kelfctl::ValueError &e) {
        usage(e.what());
    }
}

}  // namespace

int fmsimctl_main(int argc, char **argv, std::ostream &out, std::ostream &err) {
    Ctx c;
    c.out = &out;
    c.err = &err;
    c.socket = default_socket_path();
    std::string topic;
    try {
        int i = 0;
        try {
            i = kelfctl::parse_options(
                argc, argv, kOptionTable,
                [&c](const Option &o, const std::string &v) { take_option(c, o, v); });
        } catch (const kelfctl::OptionError &e) {
            usage(e.what());
        } catch (const Answered &a) {
            out << a.text;
            return kExitOk;
        }
        std::vector<std::string> words(argv + i, argv + argc);
        if (words.empty() || (is_help(words[0]) && words.size() == 1)) {
            out << kMainHelp;
            return kExitOk;
        }
        if (is_help(words[0])) {
            out << find_command(words[1]).help;
            return kExitOk;
        }
        const Command &cmd = find_command(words[0]);
        topic = cmd.name;
        words.erase(words.begin());
        for (const auto &w : words)
            if (is_help(w)) {
                out << cmd.help;
                return kExitOk;
            }
        // -j and -p hold anywhere on the line.
        std::erase_if(words, [&](const std::string &w) {
            if (w == "-j" || w == "--json") return c.json = true;
            if (w == "-p" || w == "--pretty") return c.pretty = true;
            return false;
        });
        return cmd.run(c, words);
    } catch (const Failure &f) {
        std::string msg = f.what();
        if (f.status == kExitUsage)
            msg +=
                "; see 'fmsimctl " + (topic.empty() ? std::string("help") : topic + " help") + "'";
        err << "fmsimctl: " << msg << '\n';
        if (c.json) out << c.dump(Json{{"error", f.what()}, {"exit", f.status}}) << '\n';
        return f.status;
    } catch (const std::exception &e) {
        err << "fmsimctl: " << e.what() << '\n';
        return kExitRefused;
    }
}

}  // namespace fmsimctl
