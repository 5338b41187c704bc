// signals.cpp - the handler only notes the signal in a self-pipe; the
// shutdown runs on the main thread.
#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kelf {

namespace {

// The self-pipe: kelf_catcher writes, the request loop polls the read end.
int stop_pipe[2] = {-1, -1};

// Every signal routed to kelf_catcher: each one whose default action would
// end or stop the daemon, and the real-time signals after them. SIGBUS,
// SIGFPE, SIGILL and SIGSEGV are left out on purpose: returning from a real
// fault re-runs the faulting instruction for ever; their default action
// ends the process instead. SIGKILL and SIGSTOP cannot be caught.
constexpr int kRouted[] = {SIGINT,  SIGTERM,   SIGABRT, SIGALRM, SIGCHLD, SIGCONT,
                           SIGHUP,  SIGPIPE,   SIGPOLL, SIGPROF, SIGQUIT, SIGSYS,
                           SIGTRAP, SIGTSTP,   SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2,
                           SIGURG,  SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT};

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
    // SIGRTMIN leaves out the ones the C library keeps for itself.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) ::sigaction(sig, &sa, nullptr);
    return true;
}

int stop_fd() {
    return stop_pipe[0];
}

void clear_stop_request() {
    char sink[64];
    if (stop_pipe[0] < 0) return;
    while (::read(stop_pipe[0], sink, sizeof sink) > 0) {
    }
}

bool stop_requested() {
    if (stop_pipe[0] < 0) return false;
    pollfd p{stop_pipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
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
