// kelfctl - the command client of kelfd.
#include <iostream>

#include "cli.h"

int main(int argc, char **argv) {
    return kelfctl::kelfctl_main(argc, argv, nullptr, std::cin, std::cout, std::cerr);
}
