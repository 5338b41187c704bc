#include "unreachable.h"

#include <kelfd/kel_lib.h>

#include <cstdlib>

namespace kelfctl {

std::string unreachable_hint(const std::string &who) {
    const char *dir = std::getenv(KEL_RUN_DIR_ENV);
    std::string env = dir != nullptr && *dir != '\0'
                          ? std::string(KEL_RUN_DIR_ENV "=") + dir
                          : std::string(KEL_RUN_DIR_ENV " unset, so " KEL_DEFAULT_RUN_DIR);
    return "\n" + who + " may not be running, or it runs with another " KEL_RUN_DIR_ENV " (here " +
           env + "); -S PATH names its socket";
}

}  // namespace kelfctl
