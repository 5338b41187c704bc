// kelfd_exporter: serves kelfd's counters and state to Prometheus over
// HTTP (/metrics), reading kelfd at every scrape through its read-backs.
#include <kelfd/kelfclient.h>
#include <prometheus/exposer.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "collector.h"

#ifndef KELFD_EXPORTER_VERSION
#define KELFD_EXPORTER_VERSION "0"
#endif

namespace {

const char kHelp[] = R"(Usage: kelfd_exporter [OPTION...]

Serves kelfd's port and rule counters, its groups and mirrors, and whether
the switches are as the configuration file says, as Prometheus metrics on
http://ADDRESS/metrics. Every scrape reads kelfd afresh.

  --web.listen-address=ADDR  where to serve (default 127.0.0.1:9417)
  --rules=named|all|none     rule series: rules with a name (a comment) only
                             (default), every rule, or none
  --config=PATH              the file drift is measured against (default
                             /etc/kelfd/kelfd.conf; empty: no drift metrics)
  --socket=PATH              kelfd's control socket (default: as kelfctl finds it)
  --timeout=SECONDS          each exchange with kelfd (default 5)
  -h, --help                 this text
  --version                  the version
)";

[[noreturn]] void bad(const std::string &msg) {
    std::fprintf(stderr, "kelfd_exporter: %s (see --help)\n", msg.c_str());
    std::exit(2);
}

bool value_of(const std::string &arg, const char *flag, std::string *out) {
    const std::string f = std::string(flag) + "=";
    if (arg.rfind(f, 0) != 0) return false;
    *out = arg.substr(f.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    kelfd_exporter::Options o;
    o.socket = kelfclient::default_socket_path();
    o.config = "/etc/kelfd/kelfd.conf";
    std::string listen = "127.0.0.1:9417", v;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kelfd_exporter %s\n", KELFD_EXPORTER_VERSION);
            return 0;
        }
        if (value_of(a, "--web.listen-address", &listen)) continue;
        if (value_of(a, "--config", &o.config)) continue;
        if (value_of(a, "--socket", &o.socket)) continue;
        if (value_of(a, "--rules", &v)) {
            if (v == "named")
                o.rules = kelfd_exporter::RuleSeries::Named;
            else if (v == "all")
                o.rules = kelfd_exporter::RuleSeries::All;
            else if (v == "none")
                o.rules = kelfd_exporter::RuleSeries::None;
            else
                bad("--rules takes named, all or none, not '" + v + "'");
            continue;
        }
        if (value_of(a, "--timeout", &v)) {
            char *end = nullptr;
            const double secs = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(secs > 0 && secs <= 600))
                bad("--timeout takes seconds, more than 0 and at most 600, not '" + v + "'");
            o.timeout = std::chrono::milliseconds(static_cast<long>(secs * 1000));
            continue;
        }
        bad("unknown option '" + a + "'");
    }
    // The signals that end the exporter are taken by this thread alone,
    // before the server's threads start.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        exposer = std::make_unique<prometheus::Exposer>(listen, 2);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelfd_exporter: cannot serve on %s: %s\n", listen.c_str(), e.what());
        return 1;
    }
    auto collector = std::make_shared<kelfd_exporter::Collector>(o);
    exposer->RegisterCollectable(collector);
    std::printf("kelfd_exporter: serving http://%s/metrics for kelfd at %s\n", listen.c_str(),
                o.socket.c_str());
    std::fflush(stdout);
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    return 0;
}
