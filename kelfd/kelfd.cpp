// kelfd - the switch-control daemon: takes the pid file, starts the SDK,
// brings every switch up, serves the control socket until SIGINT or
// SIGTERM, then shuts down on this thread, after the request in flight.
//
//   kelfd            detach and start
//   kelfd -v         stay in the foreground and print switch events
//   kelfd stop       stop the running daemon and wait until it has ended
//   kelfd -h|--help  this usage;  kelfd --version  the version
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "daemon_modules.h"
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

int already_running() {
    std::puts(kelf::msg::kAlreadyRunning);
    std::fflush(stdout);
    return 255;
}

int open_failed(const std::string &path) {
    std::printf(kelf::msg::kOpenFailed, path.c_str());
    std::fflush(stdout);
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
    // Detach before anything starts a thread: the fork inside daemon() takes
    // only the calling thread along. nochdir (the first 1) keeps a relative
    // KELF_RUN_DIR pointing where the caller meant.
    if (!verbose && ::daemon(1, 0) != 0) {
        std::perror("daemon");
        return 255;
    }

    // The lock is taken after detaching: a record lock belongs to the
    // process, and the parent that daemon() leaves behind exits.
    kelf::PidFile pid;  // held until the process ends
    switch (pid.acquire(pid_path)) {
        case kelf::PidFile::Result::Ok:
            break;
        case kelf::PidFile::Result::Busy:
            return already_running();
        case kelf::PidFile::Result::OpenFailed:
            return open_failed(pid_path);
    }
    if (kelf::socket_answers(sock_path)) {  // started meanwhile, without a pid file
        pid.remove();
        return already_running();
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
    if (!pid.write_pid()) return open_failed(pid_path);

    auto server = kelf::ControlServer::open(sock_path);
    if (!server) {
        pid.remove();
        return 1;
    }
    server->run(kelf::stop_fd());

    kelf::shutdown_switches();
    pid.remove();
    return 0;
}
