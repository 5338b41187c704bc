// life.h - the daemon's process life: the pid file that makes it the single
// instance, the stop signals, the SDK start, the bring-up of every switch
// into the base state, the PCI Express report and the shutdown. main()
// calls these in order; tests call them one by one on fmsim.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "fm_sdk.h"

namespace kelf {

// ---- Pid file -------------------------------------------------------------

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

// ---- Signals --------------------------------------------------------------

// Routes the daemon's signals to kelf_catcher. SIGINT and SIGTERM ask for the
// shutdown; the others are ignored; faults keep their default action.
bool install_signals();
// Becomes readable once a stop was asked for (for ControlServer::run).
int stop_fd();
bool stop_requested();

// ---- Start-up -------------------------------------------------------------

// Starts the SDK with eventHandler and waits at most `wait` until the last
// switch of the platform reports itself inserted; sets numSw.
void start_sdk(std::chrono::milliseconds wait = std::chrono::seconds(3));

// Brings switch sw into the base state and counts it in kel_inserted.
// false when the switch could not be set up (fmSetSwitchState failed).
bool bring_up_switch(fm_int sw);
// Brings up switches 0 .. numSw-1 (at most 8) in turn, until one cannot be
// set up or a stop is asked for. Returns how many were brought up.
int bring_up_switches();

// Tells the driver that every PCI Express port of every switch has link.
void report_pcie_ports();

// The shutdown: the stop line, GPIO 4 raised on every switch and, unless the
// switches are to stay up, link down for every port and the switch removed.
void shutdown_switches();

}  // namespace kelf

// The signal handler of every routed signal: records a stop request.
extern "C" void kelf_catcher(int sig);
