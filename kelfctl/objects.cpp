#include "objects.h"

#include <cstdio>

#include "words.h"

namespace kelfctl {

CommandFn raw_command();

namespace {

std::vector<Choice> object_choices() {
    std::vector<Choice> c;
    for (const auto &o : objects()) {
        Choice ch{o.name};
        if (o.alias != nullptr) ch.aliases.push_back(o.alias);
        // "r" is the rule object, as "ip a" is address.
        if (std::string_view(o.name) == "rule") ch.aliases.push_back("r");
        c.push_back(ch);
    }
    return c;
}

const Object &find_object(const std::string &w) {
    static const std::vector<Choice> choices = object_choices();
    // The configuration file's commands come last and never take a prefix
    // that an object had before them: `c` stays config, `s` stats.
    static const std::vector<Choice> older(
        choices.begin(), choices.end() - static_cast<long>(config_file_objects().size()));
    if (Resolved o = resolve(w, older); o.match == Match::Found) return objects()[o.index];
    Resolved r = resolve(w, choices);
    if (r.match != Match::Found) usage(unresolved(w, r, "object"));
    return objects()[r.index];
}

bool is_help(std::string_view w) {
    return w == "help" || w == "-h" || w == "--help" || w == "-help";
}

void print_help(Session &s, const std::string &text) {
    if (s.json) {
        Json j = Json::object();
        j["help"] = text;
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    } else {
        s.out() << text;
    }
}

int run(Session &s, const std::vector<std::string> &words, std::string &topic) {
    if (words.empty()) {
        print_help(s, main_help());
        return kExitOk;
    }
    if (is_help(words[0])) {
        if (words.size() == 1) {
            print_help(s, main_help());
            return kExitOk;
        }
        const Object &o = find_object(words[1]);
        print_help(s, o.help);
        return kExitOk;
    }
    const Object &o = find_object(words[0]);
    topic = o.name;
    // help, -h or --help anywhere after the object: the object's help.
    for (std::size_t i = 1; i < words.size(); ++i)
        if (is_help(words[i])) {
            print_help(s, o.help);
            return kExitOk;
        }
    Args a(std::vector<std::string>(words.begin() + 1, words.end()));
    std::string_view name = o.name;
    s.check_unit = name != "daemon" && name != "raw";
    if (o.commands.empty()) {  // raw, check ...: arguments stand where a command would
        (o.bare != nullptr ? o.bare : raw_command())(s, a);
        return kExitOk;
    }
    if (a.done()) {
        if (o.bare == nullptr) usage(std::string(o.name) + " needs a command");
        o.bare(s, a);
        return kExitOk;
    }
    std::vector<Choice> choices;
    for (const auto &cmd : o.commands) {
        Choice ch{cmd.name};
        if (cmd.alias != nullptr) ch.aliases.push_back(cmd.alias);
        for (const char *x : cmd.more) ch.aliases.push_back(x);
        choices.push_back(ch);
    }
    std::string_view c = a.keyword(choices, "command", " for " + std::string(o.name));
    for (const auto &cmd : o.commands)
        if (c == cmd.name) {
            cmd.run(s, a);
            return kExitOk;
        }
    usage("unknown command");
}

}  // namespace

const std::vector<Object> &objects() {
    static const std::vector<Object> all = [] {
        std::vector<Object> v;
        for (auto family : {rule_objects, port_objects, distribution_objects, device_objects,
                            config_file_objects})
            for (auto &o : family()) v.push_back(std::move(o));
        return v;
    }();
    return all;
}

std::string main_help() {
    std::string list;
    for (const auto &o : objects()) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-8s %s\n", o.name, o.summary);
        list += line;
    }
    return "Usage: kelfctl [OPTIONS] OBJECT { COMMAND | help } [ARGS]\n"
           "       kelfctl [OPTIONS] -b FILE\n"
           "       kelfctl help [OBJECT]\n\n"
           "OBJECT := { rule | config | mask | port | stats | lbg | mirror | mcast | hash |\n"
           "            phy | gpio | reg | bypass | temp | xcvr | daemon | raw |\n"
           "            check | apply | save }\n"
           "\nOptions (also spelt -json, -force ... as iproute2 does):\n"
           "  -u, --unit N       switch unit 0 to 7 (default 0)\n"
           "  -S, --socket PATH  kelfd's socket (default $KELF_RUN_DIR/kelfctl.sock,\n"
           "                     with /var/run when KELF_RUN_DIR is unset)\n"
           "  -j, --json         print one JSON document per command\n"
           "  -p, --pretty       indent the JSON\n"
           "  -s, --stats        add counters to listings (rule list: frames per rule)\n"
           "  -d, --details      every field: `rule add` lines, every counter\n"
           "  -b, --batch FILE   run the commands of FILE, one a line (- reads standard input)\n"
           "  -f, --force        go past reference and port checks; with -b, go on after a "
           "failure\n"
           "  -w, --wait SEC     first wait up to SEC seconds for kelfd to answer\n"
           "  -t, --timeout SEC  wait at most SEC seconds for kelfd at each step (default 5;\n"
           "                     0 waits for ever)\n"
           "  -h, --help         print this help\n"
           "  -V, --version      print kelfctl's version\n"
           "-j, -p, -s and -d may also follow the command.\n"
           "\nObjects:\n" +
           list +
           "\nExit status: 0 success, 1 kelfd refused, 2 usage error, 3 kelfd cannot be reached\n"
           "(or did not answer in time).\n"
           "Objects, commands and keywords may be shortened to any prefix that is theirs\n"
           "alone (`kelfctl r l` lists rules). `kelfctl OBJECT help` prints the commands\n"
           "of an object; `kelfctl OBJECT` alone shows or lists it, but for phy, gpio,\n"
           "reg, bypass, temp and xcvr, which need a command.\n";
}

// Options taken anywhere on a command's line, as iproute2 takes -j.
bool line_option(Session &s, const std::string &w) {
    if (w == "-j" || w == "-json" || w == "--json") return s.json = true;
    if (w == "-p" || w == "-pretty" || w == "--pretty") return s.pretty = true;
    if (w == "-s" || w == "-stats" || w == "--stats") return s.stats = true;
    if (w == "-d" || w == "-details" || w == "--details" || w == "--detail")
        return s.details = true;
    return false;
}

void print_reason(Session &s) {
    std::size_t at = 0;
    while (at < s.reason.size()) {
        std::size_t end = s.reason.find('\n', at);
        if (end == std::string::npos) end = s.reason.size();
        if (end > at) s.err() << "kelfd: " << s.reason.substr(at, end - at) << '\n';
        at = end + 1;
    }
}

int run_words(Session &s, const std::vector<std::string> &line) {
    std::string topic;
    // A line's own options hold for that line only.
    struct Saved {
        Session &s;
        bool json, pretty, stats, details;
        ~Saved() { s.json = json, s.pretty = pretty, s.stats = stats, s.details = details; }
    } saved{s, s.json, s.pretty, s.stats, s.details};
    std::vector<std::string> words;
    for (const auto &w : line)
        if (!line_option(s, w)) words.push_back(w);
    s.reason.clear();
    try {
        return run(s, words, topic);
    } catch (const Failure &f) {
        std::string msg = f.what();
        // With kelfd's own reason below it, the pointer to its log is noise.
        if (f.status == kExitRefused && !s.reason.empty())
            for (const std::string &hint :
                 {" (" + std::string(kKelfdLogsWhy) + ")", "; " + std::string(kKelfdLogsWhy)})
                for (auto at = msg.find(hint); at != std::string::npos; at = msg.find(hint))
                    msg.erase(at, hint.size());
        if (f.status == kExitUsage)
            msg +=
                "; see 'kelfctl " + (topic.empty() ? std::string("help") : topic + " help") + "'";
        s.err() << "kelfctl: " << msg << '\n';
        // kelfd's own words for a refusal, as it printed them.
        if (f.status == kExitRefused) print_reason(s);
        if (s.json && !f.printed) {
            Json j = Json::object();
            j["error"] = f.what();
            j["exit"] = f.status;
            if (f.status == kExitRefused && !s.reason.empty()) j["kelfd"] = s.reason;
            s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
        }
        return f.status;
    } catch (const std::exception &e) {
        s.err() << "kelfctl: " << e.what() << '\n';
        return kExitRefused;
    }
}

}  // namespace kelfctl
