// run_dir.h - where the daemon, its simulated switch and their clients meet:
// $KELF_RUN_DIR, else /var/run (kel_lib.h names both). Header-only, on the
// standard library alone, so the daemon and every client read the variable
// the same way.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdlib>
#include <string>

// The run directory; an empty KELF_RUN_DIR counts as unset.
inline std::string kel_run_dir() {
    const char *d = std::getenv(KEL_RUN_DIR_ENV);
    return (d != nullptr && *d != '\0') ? std::string(d) : std::string(KEL_DEFAULT_RUN_DIR);
}

// A file of the run directory: kel_run_path(KEL_SOCKET_NAME).
inline std::string kel_run_path(const char *name) {
    return kel_run_dir() + "/" + name;
}
