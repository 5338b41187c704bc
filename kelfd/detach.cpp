// detach.cpp - the fork, the caller's wait, and what the caller is told;
// the daemon's standard output and error reach syslog through a LogPump.
#include "detach.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelf {
namespace {

void write_all(int fd, const char *p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == ENOTSOCK) w = ::write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// As much as the report pipe takes now; the rest is dropped, so that a
// caller that stopped reading never holds up the daemon.
void send_now(int fd, const char *p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// The caller's side: copies the daemon's report to standard error until
// the daemon serves (a NUL byte) or has ended, and exits with the outcome.
[[noreturn]] void wait_for_daemon(int report, pid_t daemon) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(report, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const void *nul = std::memchr(buf, 0, static_cast<std::size_t>(n));
        std::size_t text = nul != nullptr
                               ? static_cast<std::size_t>(static_cast<const char *>(nul) - buf)
                               : static_cast<std::size_t>(n);
        write_all(STDERR_FILENO, buf, text);
        if (nul != nullptr) ::_exit(0);
    }
    int st = 0;
    pid_t r;
    while ((r = ::waitpid(daemon, &st, 0)) < 0 && errno == EINTR) {
    }
    // Not told that it serves: whatever the wait says, the start failed.
    if (r == daemon && WIFEXITED(st)) ::_exit(WEXITSTATUS(st) != 0 ? WEXITSTATUS(st) : 1);
    if (r == daemon && WIFSIGNALED(st)) ::_exit(128 + WTERMSIG(st));
    ::_exit(1);
}

}  // namespace

void hold_standard_descriptors() {
    for (;;) {
        int fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) return;
        if (fd > STDERR_FILENO) {
            ::close(fd);
            return;
        }
    }
}

bool Detached::start() {
    int report[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report) != 0) {
        std::perror("socketpair");
        return false;
    }
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        std::perror("pipe");
        for (int fd : {report[0], report[1], out[0], out[1]})
            if (fd >= 0) ::close(fd);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        for (int fd : {report[0], report[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        return false;
    }
    if (pid > 0) {
        for (int fd : {report[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        wait_for_daemon(report[0], pid);
    }
    ::close(report[0]);
    caller_ = report[1];
    ::setsid();
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::close(out[1]);
    ::close(err[1]);
    for (int fd : {out[0], err[0]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    out_ = out[0];
    err_ = err[0];
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::openlog("kelfd", LOG_PID, LOG_DAEMON);
    pump_ = std::make_unique<LogPump>(LogPump::Source{out_, LOG_INFO, false},
                                      LogPump::Source{err_, LOG_ERR, true}, nullptr,
                                      [this](const std::string &line) { tell_line(line); });
    return true;
}

void Detached::tell_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (caller_ < 0) return;
    // A NUL byte tells the caller the daemon serves: none of a line's.
    std::string text = line + "\n";
    std::replace(text.begin(), text.end(), '\0', ' ');
    send_now(caller_, text.data(), text.size());
}

void Detached::release_caller() {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mu_);
        fd = caller_;
        caller_ = -1;
    }
    if (fd < 0) return;
    // Waited for: without it the caller never learns that the daemon serves.
    write_all(fd, "", 1);
    ::close(fd);
}

void Detached::tell_caller(const std::string &text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (caller_ >= 0) send_now(caller_, text.data(), text.size());
}

void Detached::serving() {
    if (!pump_) return;
    std::fflush(stdout);
    std::fflush(stderr);
    // What was written before goes to the caller first.
    pump_->drain_now();
    release_caller();
}

Detached::~Detached() {
    if (!pump_) return;
    std::fflush(stdout);
    std::fflush(stderr);
    // The pipes' last writers go: the pump reads to their ends and stops.
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    pump_.reset();
    ::close(out_);
    ::close(err_);
    if (caller_ >= 0) ::close(caller_);  // the caller sees the end and waits for the status
    ::closelog();
}

}  // namespace kelf
