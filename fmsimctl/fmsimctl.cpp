// fmsimctl - the client of fmsim's control socket: trace a frame, replay and
// capture pcap files, list ports.
#include <iostream>

#include "cli.h"

int main(int argc, char **argv) {
    return fmsimctl::fmsimctl_main(argc, argv, std::cout, std::cerr);
}
