#include "objects.h"

#include <cstdio>

namespace kelfctl {

CommandFn raw_command();

namespace {

const Object *find_object(const std::string &w) {
    for (const auto &o : objects())
        if (w == o.name || (o.alias != nullptr && w == o.alias)) return &o;
    return nullptr;
}

void print_help(Session &s, const std::string &text) {
    if (s.json) {
        Json j = Json::object();
        j["help"] = text;
        s.out() << j.dump() << '\n';
    } else {
        s.out() << text;
    }
}

int run(Session &s, const std::vector<std::string> &words, std::string &topic) {
    if (words.empty()) usage("missing OBJECT");
    if (words[0] == "help") {
        if (words.size() == 1) {
            print_help(s, main_help());
            return kExitOk;
        }
        const Object *o = find_object(words[1]);
        if (o == nullptr) usage("unknown object '" + words[1] + "'");
        if (words.size() > 2) usage("unexpected '" + words[2] + "'");
        print_help(s, o->help);
        return kExitOk;
    }
    const Object *o = find_object(words[0]);
    if (o == nullptr) usage("unknown object '" + words[0] + "'");
    topic = o->name;
    Args a(std::vector<std::string>(words.begin() + 1, words.end()));
    if (a.accept("help")) {
        a.finish();
        print_help(s, o->help);
        return kExitOk;
    }
    if (o->commands.empty()) {  // raw: its code stands where a command would
        raw_command()(s, a);
        return kExitOk;
    }
    if (a.done()) {
        if (o->bare == nullptr) usage(std::string(o->name) + " needs a command");
        o->bare(s, a);
        return kExitOk;
    }
    std::string c = a.next("COMMAND");
    for (const auto &cmd : o->commands) {
        if (c == cmd.name || (cmd.alias != nullptr && c == cmd.alias)) {
            cmd.run(s, a);
            return kExitOk;
        }
    }
    usage("unknown command '" + c + "' for " + o->name);
}

}  // namespace

const std::vector<Object> &objects() {
    static const std::vector<Object> all = [] {
        std::vector<Object> v;
        for (auto family : {rule_objects, port_objects, distribution_objects, device_objects})
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
           "            phy | gpio | reg | bypass | temp | xcvr | daemon | raw }\n"
           "\nOptions:\n"
           "  -u, --unit N       switch unit 0 to 7 (default 0)\n"
           "  -S, --socket PATH  kelfd's socket (default $KELF_RUN_DIR/kelfctl.sock,\n"
           "                     with /var/run when KELF_RUN_DIR is unset)\n"
           "  -j, --json         print one JSON document per command\n"
           "  -b, --batch FILE   run the commands of FILE, one a line (- reads standard input)\n"
           "      --force        with -b, go on after a command fails\n"
           "  -h, --help         print this help\n"
           "      --version      print kelfctl's version\n"
           "\nObjects:\n" +
           list +
           "\nExit status: 0 success, 1 kelfd refused, 2 usage error, 3 kelfd cannot be reached.\n"
           "`kelfctl OBJECT help` prints the commands of an object; `kelfctl OBJECT` alone\n"
           "shows or lists it.\n";
}

int run_words(Session &s, const std::vector<std::string> &words) {
    std::string topic;
    try {
        return run(s, words, topic);
    } catch (const Failure &f) {
        std::string msg = f.what();
        if (f.status == kExitUsage)
            msg += "; see 'kelfctl " + (topic.empty() ? std::string("help") : topic + " help") + "'";
        s.err() << "kelfctl: " << msg << '\n';
        if (s.json && !f.printed) {
            Json j = Json::object();
            j["error"] = f.what();
            j["exit"] = f.status;
            s.out() << j.dump() << '\n';
        }
        return f.status;
    } catch (const std::exception &e) {
        s.err() << "kelfctl: " << e.what() << '\n';
        return kExitRefused;
    }
}

}  // namespace kelfctl
