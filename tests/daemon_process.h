// daemon_process.h - runs the real kelfd binary for a test: its own run
// directory, its own session, its output captured in files.
#pragma once

#include <kelfd/kelfclient.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kelftest {

using namespace std::chrono_literals;

class DaemonProcess {
public:
    struct Options {
        std::vector<std::string> args{"-v"};
        std::map<std::string, std::string> env;  // added to the daemon's environment
        int switches = 1;                        // FMSIM_SWITCHES
        bool wait_ready = true;                  // wait until a request is answered
        bool closed_streams = false;             // start with standard output and error closed
    };

    DaemonProcess();
    explicit DaemonProcess(Options options);
    // Stops the daemon if it still runs (SIGTERM, then SIGKILL) and removes
    // the run directory.
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    const std::string &run_dir() const { return dir_; }
    std::string socket_path() const { return dir_ + "/kelfctl.sock"; }
    std::string pid_path() const { return dir_ + "/kelfctl.pid"; }
    pid_t pid() const { return pid_; }
    kelfclient::Client client() const { return kelfclient::Client(socket_path()); }

    // Waits until the daemon answers a no-action request.
    bool wait_ready(std::chrono::milliseconds timeout = 20s);
    // Everything the daemon wrote to standard output (error) so far.
    std::string out() const;
    std::string err() const;
    // Waits until standard output holds text.
    bool wait_out(const std::string &text, std::chrono::milliseconds timeout = 10s) const;
    // Sends sig to the process this object started (never to another).
    void signal(int sig) const;
    // Waits for the started process to end: its exit status, 128+signal when
    // a signal ended it, or -1 on time-out.
    int wait_exit(std::chrono::milliseconds timeout = 10s);
    bool running();

    // Runs another binary (kelfd stop, kelfctl ...) with this daemon's
    // environment; returns its exit status and captures its output.
    struct Result {
        int status;
        std::string out;
        std::string err;
    };
    Result run(const std::string &binary, const std::vector<std::string> &args,
               std::chrono::milliseconds timeout = 20s) const;

private:
    std::vector<std::string> environment() const;
    void stop_and_remove();
    Options opt_;
    std::string dir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string &path);

}  // namespace kelftest
