// detach.cpp - the fork, the caller's wait, and the pump from the daemon's
// standard output and error to syslog.
#include "detach.h"

#include <fcntl.h>
#include <poll.h>
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

// A syslog entry holds at most this much of a line; the rest follows in
// entries of its own.
constexpr std::size_t kMaxEntry = 1024;

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
    out_ = {out[0], LOG_INFO, false, {}};
    err_ = {err[0], LOG_ERR, true, {}};
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::openlog("kelfd", LOG_PID, LOG_DAEMON);
    pump_ = std::thread([this] { pump(); });
    return true;
}

void Detached::emit(Stream &s, const std::string &line) {
    if (line.empty()) return;
    ::syslog(s.priority, "%s", line.c_str());
    if (s.to_caller && caller_ >= 0) {
        // A NUL byte tells the caller the daemon serves: none of a line's.
        std::string text = line;
        std::replace(text.begin(), text.end(), '\0', ' ');
        write_all(caller_, text.data(), text.size());
        write_all(caller_, "\n", 1);
    }
}

bool Detached::drain(Stream &s) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(s.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                emit(s, s.line);
                s.line.clear();
                continue;
            }
            s.line.push_back(buf[i]);
            if (s.line.size() >= kMaxEntry) {
                emit(s, s.line);
                s.line.clear();
            }
        }
    }
    emit(s, s.line);  // the last line, unended
    s.line.clear();
    return false;
}

void Detached::pump() {
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd p[2] = {{out_open ? out_.fd : -1, POLLIN, 0}, {err_open ? err_.fd : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        std::lock_guard<std::mutex> lock(mu_);
        if (p[0].revents != 0) out_open = drain(out_);
        if (p[1].revents != 0) err_open = drain(err_);
    }
}

void Detached::release_caller() {
    if (caller_ < 0) return;
    write_all(caller_, "", 1);
    ::close(caller_);
    caller_ = -1;
}

void Detached::tell_caller(const std::string &text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (caller_ >= 0) write_all(caller_, text.data(), text.size());
}

void Detached::serving() {
    if (!pump_.joinable()) return;
    std::fflush(stdout);
    std::fflush(stderr);
    std::lock_guard<std::mutex> lock(mu_);
    // What was written before goes to the caller first.
    drain(err_);
    drain(out_);
    release_caller();
}

Detached::~Detached() {
    if (!pump_.joinable()) return;
    std::fflush(stdout);
    std::fflush(stderr);
    // The pipes' last writers go: the pump reads to their ends and stops.
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    pump_.join();
    ::close(out_.fd);
    ::close(err_.fd);
    if (caller_ >= 0) ::close(caller_);  // the caller sees the end and waits for the status
    ::closelog();
}

}  // namespace kelf
