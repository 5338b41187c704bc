#include "cli.h"

#include <getopt.h>

#include <fstream>
#include <memory>

#include "batch.h"
#include "objects.h"

#ifndef KELFCTL_VERSION
#define KELFCTL_VERSION "unknown"
#endif

namespace kelfctl {

int kelfctl_main(int argc, char **argv, Transport *transport, std::istream &stdin_,
                 std::ostream &out, std::ostream &err) {
    enum { kForce = 256, kVersion };
    static const option longopts[] = {
        {"unit", required_argument, nullptr, 'u'},  {"socket", required_argument, nullptr, 'S'},
        {"json", no_argument, nullptr, 'j'},        {"batch", required_argument, nullptr, 'b'},
        {"force", no_argument, nullptr, kForce},    {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0},
    };
    auto bad = [&](const std::string &msg) {
        err << "kelfctl: " << msg << "; see 'kelfctl help'\n";
        return kExitUsage;
    };
    int unit = 0;
    bool json = false, force = false;
    std::string socket = kelfclient::default_socket_path();
    std::string batch;
    bool have_batch = false;
    // Options stop at the first word that is none (the OBJECT), so that a
    // command's own -d and the like stay its own.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = ::getopt_long(argc, argv, "+u:S:jb:h", longopts, nullptr)) != -1) {
        switch (c) {
            case 'u':
                try {
                    unit = static_cast<int>(parse_int(optarg, "unit", 0, KEL_MAX_UNITS - 1));
                } catch (const ValueError &e) {
                    return bad(e.what());
                }
                break;
            case 'S': socket = optarg; break;
            case 'j': json = true; break;
            case 'b': batch = optarg, have_batch = true; break;
            case kForce: force = true; break;
            case 'h': out << main_help(); return kExitOk;
            case kVersion: out << "kelfctl " KELFCTL_VERSION "\n"; return kExitOk;
            default: {
                std::string opt = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
                return bad(optopt != 0 && (optopt == 'u' || optopt == 'S' || optopt == 'b')
                               ? "option " + opt + " needs a value"
                               : "unknown option '" + opt + "'");
            }
        }
    }
    std::vector<std::string> words(argv + optind, argv + argc);
    if (force && !have_batch) return bad("--force goes with -b FILE");
    if (have_batch && !words.empty()) return bad("-b FILE takes no command of its own");
    if (!have_batch && words.empty()) return bad("missing OBJECT");

    std::unique_ptr<Transport> own;
    if (transport == nullptr) {
        own = std::make_unique<SocketTransport>(socket);
        transport = own.get();
    }
    Session s(*transport, out, err);
    s.unit = unit;
    s.json = json;
    if (!have_batch) return run_words(s, words);
    if (batch == "-") return run_batch(s, stdin_, "-", force);
    std::ifstream f(batch);
    if (!f) return bad("cannot read batch file '" + batch + "'");
    return run_batch(s, f, batch, force);
}

}  // namespace kelfctl
