// kelfctl - the command client of kelfd.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelctl.h"

int main(int argc, char **argv) {
    if (argc < 3 || std::string(argv[1]) != "raw") {
        std::fprintf(stderr, "usage: kelfctl raw CODE [UNIT]\n");
        return 2;
    }
    char *end = nullptr;
    unsigned long code = std::strtoul(argv[2], &end, 0);
    int unit = argc > 3 ? std::atoi(argv[3]) : 0;
    kelctl::Client client;
    std::int32_t result = 0;
    kelctl::Status st = client.command(static_cast<std::uint32_t>(code), unit, &result);
    if (!st) {
        std::fprintf(stderr, "kelfctl: %s\n", st.message.c_str());
        return 3;
    }
    std::printf("%d\n", result);
    return result < 0 ? 1 : 0;
}
