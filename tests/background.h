// background.h - a program running beside a test (kelfctl waiting on a
// transaction, an exporter, a Prometheus server): its output in files of
// the test's run directory, stopped on every path.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"

extern char **environ;

namespace kelftest {

class Background {
public:
    // name: the files dir/name.out and dir/name.err.
    Background(const std::string &dir, const std::string &name, const std::string &binary,
               std::vector<std::string> args)
        : err_(dir + "/" + name + ".err"), out_(dir + "/" + name + ".out") {
        args.insert(args.begin(), binary);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, binary.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    pid_t pid() const { return pid_; }
    std::string err() const { return read_file(err_); }
    std::string out() const { return read_file(out_); }
    bool wait_err(const std::string &text, std::chrono::milliseconds limit = 20s) const {
        return wait_for([&] { return err(); }, text, limit);
    }
    bool wait_out(const std::string &text, std::chrono::milliseconds limit = 20s) const {
        return wait_for([&] { return out(); }, text, limit);
    }
    void signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    bool running() {
        int st = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &st, WNOHANG) != pid_) return pid_ > 0;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
        return false;
    }
    // Its exit status (128 + a signal), or -1 when it still runs at the limit.
    int wait(std::chrono::milliseconds limit = 60s) {
        for (auto end = std::chrono::steady_clock::now() + limit; running();
             std::this_thread::sleep_for(10ms))
            if (std::chrono::steady_clock::now() >= end) return -1;
        return status_;
    }

private:
    template <class F>
    static bool wait_for(F read, const std::string &text, std::chrono::milliseconds limit) {
        for (auto end = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms))
            if (read().find(text) != std::string::npos) return true;
        return false;
    }
    std::string err_, out_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace kelftest
