// pidfile.cpp - the pid file's lock, take-over and the stop command.
#include "pidfile.h"

#include <fcntl.h>
#include <kelfd/kel_lib.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <thread>

#include "messages.h"

namespace kelf {

std::string pid_path(const std::string &dir) {
    return dir + "/" KEL_PID_NAME;
}

pid_t parse_pid(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (text.empty() || text.size() > 10) return -1;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    if (v <= 0 || v > INT_MAX) return -1;
    return static_cast<pid_t>(v);
}

namespace {

// The holder of a write lock on the whole file behind fd: as pid_file_holder.
pid_t lock_holder(int fd) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &lk) != 0) return -1;
    if (lk.l_type == F_UNLCK) return 0;
    return lk.l_pid > 0 ? lk.l_pid : -1;
}

bool lock(int fd) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    return ::fcntl(fd, F_SETLK, &lk) == 0;
}

// The file at path is still the one open as fd (nobody replaced or removed it).
bool same_file(int fd, const std::string &path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::string read_all(int fd) {
    std::string text;
    char buf[64];
    off_t off = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() > 256) break;
        text.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return text;
}

// Removes a pid file that no daemon holds. Locking it first keeps a daemon
// that is just taking it over from losing its file.
void remove_stale(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    if (lock(fd) && same_file(fd, path)) ::unlink(path.c_str());
    ::close(fd);
}

}  // namespace

pid_t pid_file_holder(const std::string &path) {
    // A file that cannot be read holds nobody we could tell of; taking it
    // over then reports why it cannot be written.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    pid_t p = lock_holder(fd);
    ::close(fd);
    return p;
}

PidFile::~PidFile() {
    if (fd_ >= 0) ::close(fd_);
}

PidFile::Result PidFile::acquire(const std::string &path) {
    // A stop that removes a stale file can race with this take-over: only a
    // lock on the file that is still at path counts, so look again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Never through a symbolic link: the pid would overwrite whatever it
        // points to.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return Result::OpenFailed;
        if (!lock(fd)) {
            int e = errno;
            bool replaced = !same_file(fd, path);
            ::close(fd);
            if (e != EACCES && e != EAGAIN) return Result::OpenFailed;
            if (replaced) continue;
            return Result::Busy;
        }
        if (!same_file(fd, path)) {
            ::close(fd);
            continue;
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        path_ = path;
        return write_pid() ? Result::Ok : Result::OpenFailed;
    }
    return Result::OpenFailed;
}

bool PidFile::write_pid() {
    if (fd_ < 0) return false;
    char text[32];
    int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(fd_, 0) != 0) return false;
    return ::pwrite(fd_, text, static_cast<size_t>(n), 0) == n;
}

void PidFile::remove() {
    if (fd_ >= 0 && same_file(fd_, path_)) ::unlink(path_.c_str());
}

namespace {

// A descriptor that names one process for good (no pid reuse) and becomes
// readable when it has ended; -1 where the kernel has none.
int open_process(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

int signal_process(int pidfd, pid_t pid, int sig) {
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0)
        return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#endif
    return ::kill(pid, sig);
}

// Closes the descriptors of one stop on every path.
struct Fds {
    int file = -1, process = -1;
    ~Fds() {
        if (file >= 0) ::close(file);
        if (process >= 0) ::close(process);
    }
};

}  // namespace

int stop_daemon(const std::string &path, std::chrono::milliseconds wait) {
    // Watch the lock through a descriptor of our own: it stays on the file
    // when the daemon removes it, and goes only when the daemon ends.
    Fds fds;
    fds.file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fds.file < 0) {
        if (errno == ENOENT) return 0;
        std::perror(path.c_str());
        return 1;
    }
    pid_t holder = lock_holder(fds.file);
    if (holder == 0) {
        remove_stale(path);
        return 0;
    }
    // Only the daemon that holds the file and names itself in it is signalled.
    pid_t named = parse_pid(read_all(fds.file));
    if (holder < 0 || holder != named || holder == ::getpid()) {
        std::fprintf(stderr, "%s is held by %s process; not stopping it\n", path.c_str(),
                     holder < 0 ? "an unknown" : "another");
        return 1;
    }
    fds.process = open_process(holder);
    // Still the holder once named for good: not a process that took over its id.
    if (lock_holder(fds.file) != holder) {
        remove_stale(path);
        return 0;
    }
    if (signal_process(fds.process, holder, SIGTERM) != 0) {
        std::perror("kill");
        return 1;
    }
    // Done when the process has ended; where it cannot be watched, when it
    // let go of the file (which it does just before it ends).
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (fds.process >= 0) {
            pollfd p{fds.process, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) break;
        } else {
            if (lock_holder(fds.file) != holder) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, msg::kStopTimedOut, static_cast<long>(holder),
                         static_cast<long long>(wait.count()));
            return 1;
        }
    }
    remove_stale(path);
    return 0;
}

}  // namespace kelf
