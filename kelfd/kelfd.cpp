// kelfd - the switch-control daemon.
//
// First life: stays in the foreground, starts the SDK, counts the platform's
// switches as brought up and serves the control socket until interrupted.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "fm_sdk.h"
#include "kel_lib.h"
#include "server.h"

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) start_flag = 2;
    std::signal(SIGPIPE, SIG_IGN);
    std::puts("\nKELF daemon version 6.0.10.7.30.1");
    std::fflush(stdout);

    fm_int count = 0;
    fmPlatformGetNumSwitches(&count);
    numSw = count;
    kel_inserted = count > KEL_MAX_UNITS ? KEL_MAX_UNITS : count;

    auto server = kelf::ControlServer::open(kelf::socket_path(kelf::run_dir()));
    if (!server) return 1;
    server->run(-1);
    return 0;
}
