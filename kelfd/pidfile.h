// pidfile.h - the pid file that makes kelfd the single running instance,
// and `kelfd stop`.
//
// Contract: the daemon holds a write lock on $KELF_RUN_DIR/kelfctl.pid for
// its whole life; the lock, not the file's text, says that a daemon runs.
// `stop` signals only a process that both holds the lock and names itself
// in the file, so a stale or forged file never gets another process killed.
// Nothing here ever signals process 0 or -1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

namespace kelf {

// $dir/kelfctl.pid
std::string pid_path(const std::string &dir);

// The process id a pid file holds ("%ld\n"), or -1 when the text is not a
// positive decimal number that fits a pid.
pid_t parse_pid(std::string_view text);

// The process that holds the lock of the pid file at path: its id; 0 when
// no process holds it (or there is no file it could read); -1 when it is
// held by a process whose id cannot be told.
pid_t pid_file_holder(const std::string &path);

// The daemon's pid file, locked for the daemon's whole life: a file that no
// running daemon holds is stale and never blocks a start. The lock is a
// record lock, which the process loses when it closes ANY descriptor of the
// file: the daemon never opens the file again once it holds it.
class PidFile {
public:
    enum class Result { Ok, Busy, OpenFailed };

    PidFile() = default;
    ~PidFile();  // releases the lock, keeps the file
    PidFile(const PidFile &) = delete;
    PidFile &operator=(const PidFile &) = delete;

    // Creates or takes over the file at path, locks it and writes this
    // process's id. Busy: a running daemon holds it.
    Result acquire(const std::string &path);
    // Writes this process's id again ("%ld\n"); false on a write failure.
    bool write_pid();
    // Removes the file; the lock lasts until this object goes.
    void remove();

private:
    int fd_ = -1;
    std::string path_;
};

// kelfd stop: sends SIGTERM to the daemon that holds the pid file and waits
// until it has ended (at most `wait`); removes a stale file. Never signals
// a process that does not hold the file. Returns the exit status: 0 when no
// daemon runs any more, 1 when it could not be stopped.
int stop_daemon(const std::string &path, std::chrono::milliseconds wait = std::chrono::seconds(10));

}  // namespace kelf
