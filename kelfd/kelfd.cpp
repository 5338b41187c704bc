// kelfd - the switch-control daemon: takes the pid file, starts the SDK,
// brings every switch up, serves the control socket until SIGINT or
// SIGTERM, then shuts down on this thread, after the request in flight.
//
//   kelfd            detach and start; returns once the daemon serves, or
//                    with its status and reason when the start failed
//   kelfd -v         stay in the foreground and print switch events
//   kelfd stop       stop the running daemon and wait until it has ended
//   kelfd -h|--help  this usage;  kelfd --version  the version
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "daemon_modules.h"
#include "detach.h"
#include "extensions/reasons.h"
#include "messages.h"
#include "pidfile.h"
#include "server.h"
#include "shutdown.h"
#include "signals.h"
#include "startup.h"

#ifndef KELFD_VERSION
#define KELFD_VERSION "0.0.0"
#endif

namespace {

// Printed on standard output; a detached daemon's caller has it on its
// standard error as well.
int already_running(kelf::Detached *detached = nullptr) {
    std::puts(kelf::msg::kAlreadyRunning);
    std::fflush(stdout);
    if (detached != nullptr) detached->tell_caller(std::string(kelf::msg::kAlreadyRunning) + "\n");
    return 255;
}

int open_failed(const std::string &path, kelf::Detached *detached = nullptr) {
    std::printf(kelf::msg::kOpenFailed, path.c_str());
    std::fflush(stdout);
    if (detached != nullptr) {
        char line[4096];
        std::snprintf(line, sizeof line, kelf::msg::kOpenFailed, path.c_str());
        detached->tell_caller(line);
    }
    return 255;
}

int usage(std::FILE *to) {
    std::fputs(
        "usage: kelfd [-v | stop | -h | --help | --version]\n"
        "  (none)     detach and serve the switches\n"
        "  -v         stay in the foreground and print switch events\n"
        "  stop       stop the running daemon and wait until it has ended\n"
        "  -h, --help print this usage\n"
        "  --version  print the version\n"
        "The pid file and the control socket live in $KELF_RUN_DIR (default /var/run).\n",
        to);
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
    kelf::hold_standard_descriptors();
    // What a request makes kelfd print can go back to its client as well.
    kelf::reasons::install();
    kelf::reset_modules();  // every module at its start, in their one order
    const char *arg = argc > 1 ? argv[1] : "";
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) return usage(stdout);
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("kelfd %s\n", KELFD_VERSION);
        return 0;
    }
    const bool verbose = std::strcmp(arg, "-v") == 0;
    foreground = verbose;
    const std::string dir = kelf::run_dir();
    const std::string pid_path = kelf::pid_path(dir);

    if (std::strcmp(arg, "stop") == 0) return kelf::stop_daemon(pid_path);

    // Everything that can refuse the start is checked before the long
    // bring-up, and while still attached, so the caller sees why.
    const std::string sock_path = kelf::socket_path(dir);
    if (!kelf::socket_path_fits(sock_path)) return 1;
    // A daemon that answers on the socket runs, whether or not its pid file
    // is still there.
    if (kelf::pid_file_holder(pid_path) != 0 || kelf::socket_answers(sock_path))
        return already_running();
    // Detach before anything starts a thread: a fork takes only the calling
    // thread along. The working directory stays, so a relative KELF_RUN_DIR
    // points where the caller meant. The caller waits for the outcome.
    kelf::Detached detached;
    if (!verbose && !detached.start()) return 255;

    // The lock is taken after detaching: a record lock belongs to the
    // process, and the caller's process exits.
    kelf::PidFile pid;  // held until the process ends
    switch (pid.acquire(pid_path)) {
        case kelf::PidFile::Result::Ok:
            break;
        case kelf::PidFile::Result::Busy:
            return already_running(&detached);
        case kelf::PidFile::Result::OpenFailed:
            return open_failed(pid_path, &detached);
    }
    if (kelf::socket_answers(sock_path)) {  // started meanwhile, without a pid file
        pid.remove();
        return already_running(&detached);
    }
    if (!kelf::install_signals()) return 255;

    std::puts(kelf::msg::kBanner);
    std::fflush(stdout);
    kelf::SdkStart sdk = kelf::start_sdk();  // the SDK's event thread starts here
    if (!sdk.ok) {
        std::fprintf(stderr, "kelfd: no switch came up: %s\n", sdk.failure.c_str());
        pid.remove();
        return 1;
    }
    kelf::BringUp up;
    if (!kelf::stop_requested()) up = kelf::bring_up_switches();
    // A stop during the start is carried out now: no switch is announced and
    // no socket made.
    if (kelf::stop_requested()) {
        kelf::shutdown_switches();
        pid.remove();
        return 0;
    }
    if (up.up == 0) {
        std::fprintf(stderr, "kelfd: no switch came up: switch 0: %s\n", up.failure.c_str());
        pid.remove();
        return 1;
    }
    if (up.up < up.wanted) {
        std::fprintf(stderr,
                     "kelfd: switch %d did not come up (%s): serving switches 0 to %d of %d\n",
                     up.up, up.failure.c_str(), up.up - 1, up.wanted);
    }
    if (switch_count.load() > up.wanted)
        std::fprintf(stderr, "kelfd: the platform has %d switches; kelfd serves the first %d\n",
                     static_cast<int>(switch_count.load()), up.wanted);
    kelf::report_pcie_ports();
    if (up.up == up.wanted) {
        std::puts(kelf::msg::kSwitchUp);
        std::fflush(stdout);
    }
    if (!pid.write_pid()) return open_failed(pid_path, &detached);

    auto server = kelf::ControlServer::open(sock_path);
    if (!server) {
        pid.remove();
        return 1;
    }
    detached.serving();
    server->run(kelf::stop_fd());
    server.reset();  // the socket file goes first: nobody connects to a daemon that stops

    kelf::shutdown_switches();
    pid.remove();
    return 0;
}
