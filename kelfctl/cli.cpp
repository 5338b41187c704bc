#include "cli.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "batch.h"
#include "objects.h"
#include "options.h"
#include "rule.h"

#ifndef KELFCTL_VERSION
#define KELFCTL_VERSION "unknown"
#endif

namespace kelfctl {
namespace {

// The options, each as --long, -short and iproute2's single-dash -long.
constexpr Option kOptions[] = {
    {"unit", 'u', true},    {"socket", 'S', true},   {"json", 'j', false},
    {"pretty", 'p', false}, {"stats", 's', false},   {"details", 'd', false, "detail"},
    {"batch", 'b', true},   {"force", 'f', false},   {"timeout", 't', true},
    {"help", 'h', false},   {"version", 'V', false}, {"wait", 'w', true},
};

// -h and -V answer at once: what they print.
struct Answered {
    std::string text;
};

// --wait: until kelfd answers a request, which it does once every switch is
// brought up, so a command that follows never races the bring-up.
bool wait_for_daemon(const std::string &socket, int seconds, std::ostream &err) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    kelfclient::Client c(socket, std::chrono::milliseconds(1000));
    kelfclient::Status st;
    do {
        std::int32_t n = -1;
        st = c.command(KEL_GET_DEV_NUM, 0, &n);
        if (st) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    err << "kelfctl: kelfd did not answer on " << socket << " within " << seconds
        << " s: " << st.message << '\n';
    return false;
}

}  // namespace

std::string run_dir_of_socket(const std::string &socket) {
    std::string path = socket;
    // Without a socket (kelfd not started yet) the path is taken as given.
    if (char *real = ::realpath(socket.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int kelfctl_main(int argc, char **argv, Transport *transport, std::istream &stdin_,
                 std::ostream &out, std::ostream &err) {
    auto bad = [&](const std::string &msg) {
        err << "kelfctl: " << msg << "; see 'kelfctl help'\n";
        return kExitUsage;
    };
    int unit = 0;
    bool json = false, pretty = false, stats = false, details = false, force = false;
    std::string socket = kelfclient::default_socket_path();
    std::string batch;
    bool have_batch = false;
    std::chrono::milliseconds timeout = kelfclient::kDefaultTimeout;
    std::optional<int> wait;

    // Options come before the OBJECT; -j, -p, -s and -d are taken anywhere
    // on the line (run_words strips them from a command's words).
    auto number = [](const std::string &v, const char *what, std::int64_t hi) {
        try {
            return parse_int(v, what, 0, hi);
        } catch (const ValueError &e) {
            throw OptionError(e.what());
        }
    };
    int i;
    try {
        i = parse_options(argc, argv, kOptions, [&](const Option &o, const std::string &v) {
            switch (o.shrt) {
                case 'u':
                    unit = static_cast<int>(number(v, "unit", KEL_MAX_UNITS - 1));
                    break;
                case 'S':
                    socket = v;
                    break;
                case 'j':
                    json = true;
                    break;
                case 'p':
                    pretty = true;
                    break;
                case 's':
                    stats = true;
                    break;
                case 'd':
                    details = true;
                    break;
                case 'b':
                    batch = v, have_batch = true;
                    break;
                case 'f':
                    force = true;
                    break;
                case 't':
                    timeout = std::chrono::milliseconds(number(v, "timeout SEC", 3600) * 1000);
                    break;
                case 'w':
                    wait = static_cast<int>(number(v, "wait SEC", 3600));
                    break;
                case 'h':
                    throw Answered{main_help()};
                case 'V':
                    throw Answered{"kelfctl " KELFCTL_VERSION "\n"};
            }
        });
    } catch (const OptionError &e) {
        return bad(e.what());
    } catch (const Answered &a) {
        out << a.text;
        return kExitOk;
    }
    std::vector<std::string> words(argv + i, argv + argc);
    if (have_batch && !words.empty()) return bad("-b FILE takes no command of its own");
    if (!have_batch && words.empty()) {
        out << main_help();
        return kExitOk;
    }

    std::unique_ptr<Transport> own;
    bool terminal = transport == nullptr && ::isatty(STDOUT_FILENO) == 1;
    if (transport == nullptr) {
        own = std::make_unique<SocketTransport>(socket, timeout);
        transport = own.get();
    }
    if (wait && own && !wait_for_daemon(socket, *wait, err)) return kExitUnreachable;
    Session s(*transport, out, err);
    if (own) s.run_dir = run_dir_of_socket(socket);
    s.unit = unit;
    s.json = json;
    s.pretty = pretty;
    s.stats = stats;
    s.details = details;
    s.force = force;
    s.terminal = terminal;
    if (!have_batch) return run_words(s, words);
    if (batch == "-") return run_batch(s, stdin_, "-", force);
    std::ifstream f(batch);
    if (!f) return bad("cannot read batch file '" + batch + "'");
    return run_batch(s, f, batch, force);
}

}  // namespace kelfctl
