#include "life.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "daemon.h"
#include "events.h"
#include <kelfd/kel_lib.h>
#include "ports/ports.h"
#include "sdk_util.h"

namespace kelf {

// ---- Pid file -------------------------------------------------------------

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
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (lock(fd) && same_file(fd, path)) ::unlink(path.c_str());
    ::close(fd);
}

}  // namespace

pid_t pid_file_holder(const std::string &path) {
    // A file that cannot be read holds nobody we could tell of; taking it
    // over then reports why it cannot be written.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
    fds.file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
            std::fprintf(stderr, "keld (pid %ld) did not stop within %lld ms\n",
                         static_cast<long>(holder), static_cast<long long>(wait.count()));
            return 1;
        }
    }
    remove_stale(path);
    return 0;
}

// ---- Signals --------------------------------------------------------------

namespace {

// The self-pipe: kelf_catcher writes, the request loop polls the read end.
int stop_pipe[2] = {-1, -1};

// Every signal routed to kelf_catcher. SIGBUS, SIGFPE, SIGILL and SIGSEGV
// are left out on purpose: returning from a real fault re-runs the faulting
// instruction for ever; their default action ends the process instead.
// SIGKILL and SIGSTOP cannot be caught.
constexpr int kRouted[] = {SIGINT,  SIGTERM, SIGABRT, SIGALRM,   SIGCHLD, SIGCONT, SIGHUP,  SIGPIPE,
                           SIGPOLL, SIGPROF, SIGQUIT, SIGSYS,    SIGTRAP, SIGTSTP, SIGTTIN, SIGTTOU,
                           SIGUSR1, SIGUSR2, SIGURG,  SIGVTALRM, SIGXCPU, SIGXFSZ};

}  // namespace

bool install_signals() {
    if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe");
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = kelf_catcher;
    sigfillset(&sa.sa_mask);
    // Interrupted system calls resume: the request loop polls the pipe, and
    // nothing else should see a signal.
    sa.sa_flags = SA_RESTART;
    for (int sig : kRouted) ::sigaction(sig, &sa, nullptr);
    return true;
}

int stop_fd() {
    return stop_pipe[0];
}

bool stop_requested() {
    if (stop_pipe[0] < 0) return false;
    pollfd p{stop_pipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// ---- Start-up -------------------------------------------------------------

void start_sdk(std::chrono::milliseconds wait) {
    fmOSInitialize();
    fmCreateSemaphore("seq", FM_SEM_BINARY, &seqSem, 0);
    cleanup(fmInitialize(eventHandler), "fmInitialize");
    fm_int n = 0;
    fmPlatformGetNumSwitches(&n);
    numSw.store(n);
    // The last switch may have reported itself before numSw was known.
    if (switch_reported(n - 1)) fmReleaseSemaphore(&seqSem);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    fm_timestamp t{static_cast<fm_uint64>(us / 1000000), static_cast<fm_uint64>(us % 1000000)};
    fmCaptureSemaphore(&seqSem, &t);
}

namespace {

constexpr fm_int kFrameSize = 15360;
constexpr fm_int kGpioBypass = 4;
constexpr fm_int kTriggerGroup = 10001;
constexpr fm_int kTriggerRule = 10;

// One port of the cardinal list: up, member of every VLAN, jumbo frames,
// pause.
void bring_up_port(fm_int sw, fm_int cpi) {
    fm_int port = 0;
    cleanup(fmMapCardinalPort(sw, cpi, &port, nullptr), "fmMapCardinalPort");
    cleanup(fmSetPortState(sw, port, FM_PORT_STATE_UP, 0), "fmSetPortState");
    cleanup(fmAddVlanPort(sw, 1, port, FALSE), "fmAddVlanPort");
    cleanup(fmSetVlanPortState(sw, 1, port, FM_STP_STATE_FORWARDING), "fmSetVlanPortState");
    fm_uint32 vlanNoU32 = 1;
    fmSetPortAttribute(sw, port, FM_PORT_DEF_VLAN, &vlanNoU32);
    for (int v = 2; v <= FM_MAX_VLAN; ++v) {
        auto vlan = static_cast<fm_uint16>(v);
        if (fmAddVlanPort(sw, vlan, port, TRUE) != FM_OK)
            cleanup(fmAddVlanPort(sw, vlan, port, FALSE), "fmAddVlanPort");
        cleanup(fmSetVlanPortState(sw, vlan, port, FM_STP_STATE_FORWARDING), "fmSetVlanPortState");
        fm_bool reflect = TRUE;
        fmSetVlanAttribute(sw, vlan, FM_VLAN_REFLECT, &reflect);
    }
    fm_int suppression = 0;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_LOOPBACK_SUPPRESSION, &suppression),
            "fmSetPortAttribute FM_PORT_LOOPBACK_SUPPRESSION");
    fm_uint32 parser = 2;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_PARSER, &parser),
            "fmSetPortAttribute FM_PORT_PARSER");

    fm_int frame = 0;
    fm_status err = fmGetPortAttribute(sw, port, FM_PORT_MAX_FRAME_SIZE, &frame);
    if (err != FM_OK) {
        std::printf("port = %d", port);
        cleanup(err, "fmGetPortAttribute FM_PORT_MAX_FRAME_SIZE");
    }
    if (err != FM_OK || frame != kFrameSize) {
        frame = kFrameSize;
        err = fmSetPortAttribute(sw, port, FM_PORT_MAX_FRAME_SIZE, &frame);
        if (err != FM_OK) {
            std::printf("port = %d", port);
            cleanup(err, "fmSetPortAttribute FM_PORT_MAX_FRAME_SIZE");
        }
    }
    fm_bool pause = TRUE;
    cleanup(fmSetPortAttribute(sw, port, FM_PORT_RX_PAUSE, &pause),
            "fmSetPortAttribute FM_PORT_RX_PAUSE");
}

// Frames to these reserved addresses (BPDU, slow protocols, 0x03, LLDP) are
// dropped.
void drop_reserved_macs(fm_int sw) {
    struct Entry {
        fm_int index;
        const char *text;
    };
    static constexpr Entry kEntries[] = {
        {0x0, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x0"},
        {0x2, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x2"},
        {0x3, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0x3"},
        {0xE, "fmSetPortAttribute FM_SWITCH_RESERVED_MAC_CFG 0xe"},
    };
    for (const Entry &e : kEntries) {
        fm_reservedMacCfg h{};
        h.index = e.index;
        h.action = FM_RES_MAC_ACTION_DROP;
        h.useTrapPri = FALSE;
        cleanup(fmSetSwitchAttribute(sw, FM_SWITCH_RESERVED_MAC_CFG, &h), e.text);
    }
}

// The one trigger: frames whose handler action is 1 (bit 2 of the mask),
// from any port, are forwarded. The first failure skips the rest.
void create_trigger(fm_int sw) {
    fm_status err = fmCreateTrigger(sw, kTriggerGroup, kTriggerRule);
    if (err != FM_OK) return cleanup(err, "fmCreateTrigger");
    fm_triggerCondition condPtr{};
    fm_triggerAction actPtr{};
    if ((err = fmInitTriggerCondition(sw, &condPtr)) != FM_OK)
        return cleanup(err, "fmInitTriggerCondition");
    if ((err = fmInitTriggerAction(sw, &actPtr)) != FM_OK)
        return cleanup(err, "fmInitTriggerAction");
    condPtr.cfg.HAMask = 2;
    condPtr.cfg.rxPortset = FM_PORT_SET_ALL;
    if ((err = fmSetTriggerCondition(sw, kTriggerGroup, kTriggerRule, &condPtr)) != FM_OK)
        return cleanup(err, "fmSetTriggerCondition");
    actPtr.cfg.forwardingAction = FM_TRIGGER_FORWARDING_ACTION_FORWARD;
    cleanup(fmSetTriggerAction(sw, kTriggerGroup, kTriggerRule, &actPtr), "fmSetTriggerAction");
}

}  // namespace

bool bring_up_switch(fm_int sw) {
    if (fmSetSwitchState(sw, TRUE) != FM_OK) return false;
    fm_switchInfo swInfo{};
    fmGetSwitchInfo(sw, &swInfo);
    for (int v = 1; v <= FM_MAX_VLAN; ++v)
        cleanup(fmCreateVlan(sw, static_cast<fm_uint16>(v)), "fmCreateVlan");
    for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) bring_up_port(sw, cpi);

    fm_bool on = TRUE;
    fmSetSwitchQOS(sw, FM_AUTO_PAUSE_MODE, 0, &on);
    fm_bool off = FALSE;
    cleanup(fmSetSwitchAttribute(sw, FM_TRAP_IEEE_GARP, &off),
            "fmSetPortAttribute FM_TRAP_IEEE_GARP");
    cleanup(fmSetSwitchAttribute(sw, FM_TRAP_IEEE_BPDU, &off),
            "fmSetPortAttribute FM_TRAP_IEEE_BPDU");
    drop_reserved_macs(sw);

    // The per-switch tables hold KEL_MAX_UNITS switches.
    if (kel_inserted < KEL_MAX_UNITS) ++kel_inserted;
    kel_set_cfg_fn(sw, 5);  // every port isolated from the others
    fmPlatformGpioSetDirection(sw, kGpioBypass, FM_PLAT_GPIO_DIR_OUTPUT, 0);
    create_trigger(sw);
    return true;
}

int bring_up_switches() {
    int count = std::min<int>(numSw.load(), KEL_MAX_UNITS);
    int done = 0;
    for (fm_int sw = 0; sw < count; ++sw) {
        // A stop asked for during a long start is carried out after this switch.
        if (stop_requested() || !bring_up_switch(sw)) break;
        ++done;
    }
    return done;
}

void report_pcie_ports() {
    for (fm_int sw = 0; sw < kel_inserted; ++sw) {
        fm_switchInfo swInfo{};
        fm_int ifindex = 0;
        fmGetSwitchInfo(sw, &swInfo);
        if (fmPlatformIfindexSwitchGet(sw, &ifindex) != FM_OK || swInfo.numCardPorts <= 1) continue;
        for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) {
            fm_bool pcie = FALSE;
            if (fmIsPciePort(sw, cpi, &pcie) == FM_OK && ifindex != 0 && pcie)
                send_link_prop({ifindex, 0, 1, cpi, 0, 0, 0, 0});
        }
    }
}

void shutdown_switches() {
    std::puts("KEL: GOT SIGTERM!");
    std::fflush(stdout);
    for (fm_int sw = 0; sw < kel_inserted; ++sw)
        fmPlatformGpioSetDirection(sw, kGpioBypass, FM_PLAT_GPIO_DIR_OUTPUT, 1);
    if (sw_remain) return;
    for (fm_int sw = 0; sw < kel_inserted; ++sw) {
        fm_switchInfo swInfo{};
        fm_int ifindex = 0;
        fmGetSwitchInfo(sw, &swInfo);
        if (fmPlatformIfindexSwitchGet(sw, &ifindex) != FM_OK) continue;
        std::printf("shutdown %d!\n", sw);
        std::fflush(stdout);
        for (fm_int cpi = 1; cpi < swInfo.numCardPorts; ++cpi) {
            fm_bool pcie = FALSE;
            if (fmIsPciePort(sw, cpi, &pcie) != FM_OK || ifindex == 0) continue;
            if (pcie)
                send_link_prop({ifindex, 0, 0, cpi, 0, 0, 0, 0});
            else
                send_link_prop({ifindex, cpi, 0, 0, 0, 0, 0, 0});
        }
        fmHandleSwitchRemoved(sw, 0);
    }
}

}  // namespace kelf

extern "C" void kelf_catcher(int sig) {
    if (sig != SIGINT && sig != SIGTERM) return;
    int saved = errno;
    char c = 1;
    // A full pipe already holds a stop request.
    if (kelf::stop_pipe[1] >= 0) (void)!::write(kelf::stop_pipe[1], &c, 1);
    errno = saved;
}
