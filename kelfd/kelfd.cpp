// kelfd - the switch-control daemon: takes the pid file, starts the SDK,
// brings every switch up, serves the control socket until SIGINT or
// SIGTERM, then shuts down on this thread, after the request in flight.
//
//   kelfd       detach and start
//   kelfd -v    stay in the foreground and print switch events
//   kelfd stop  stop the running daemon and wait until it has ended
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "life.h"
#include "server.h"

namespace {

int already_running() {
    std::puts("keld already running! use `kelf stop` for exit");
    std::fflush(stdout);
    return 255;
}

int open_failed(const std::string &path) {
    std::printf("%s open failed\n", path.c_str());
    std::fflush(stdout);
    return 255;
}

}  // namespace

int main(int argc, char **argv) {
    const char *arg = argc > 1 ? argv[1] : "";
    const bool verbose = std::strcmp(arg, "-v") == 0;
    start_flag = verbose ? 2 : 0;
    const std::string dir = kelf::run_dir();
    const std::string pid_path = kelf::pid_path(dir);

    if (std::strcmp(arg, "stop") == 0) return kelf::stop_daemon(pid_path);

    // Refuse a second instance while still attached, so the caller sees why.
    if (kelf::pid_file_holder(pid_path) != 0) return already_running();
    if (!verbose && ::daemon(1, 0) != 0) {
        std::perror("daemon");
        return 255;
    }

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

    std::puts("\nKELF daemon version 6.0.10.7.30.1");
    std::fflush(stdout);
    kelf::start_sdk();
    kelf::bring_up_switches();
    kelf::report_pcie_ports();
    std::puts("Switch is UP, all ports are now enabled");
    std::fflush(stdout);
    if (!pid.write_pid()) return open_failed(pid_path);

    auto server = kelf::ControlServer::open(kelf::socket_path(dir));
    if (!server) return 1;
    server->run(kelf::stop_fd());

    kelf::shutdown_switches();
    pid.remove();
    return 0;
}
