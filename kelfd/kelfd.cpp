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
    const char *arg = argc > 1 ? argv[1] : "";
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) return usage(stdout);
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("kelfd %s\n", KELFD_VERSION);
        return 0;
    }
    const bool verbose = std::strcmp(arg, "-v") == 0;
    start_flag = verbose ? 2 : 0;
    const std::string dir = kelf::run_dir();
    const std::string pid_path = kelf::pid_path(dir);

    if (std::strcmp(arg, "stop") == 0) return kelf::stop_daemon(pid_path);

    // Refuse a second instance while still attached, so the caller sees why.
    if (kelf::pid_file_holder(pid_path) != 0) return already_running();
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
    if (!kelf::install_signals()) return 255;

    std::puts(kelf::msg::kBanner);
    std::fflush(stdout);
    kelf::start_sdk();  // the SDK's event thread starts here
    kelf::bring_up_switches();
    kelf::report_pcie_ports();
    std::puts(kelf::msg::kSwitchUp);
    std::fflush(stdout);
    if (!pid.write_pid()) return open_failed(pid_path);

    auto server = kelf::ControlServer::open(kelf::socket_path(dir));
    if (!server) return 1;
    server->run(kelf::stop_fd());

    kelf::shutdown_switches();
    pid.remove();
    return 0;
}
