// signals.h - the daemon's signals.
//
// Contract: every signal the daemon routes goes to kelf_catcher, which does
// nothing but note SIGINT or SIGTERM in a self-pipe (async-signal-safe, on
// whatever thread the kernel picks). The main thread polls that pipe and
// runs the shutdown itself, after the request in flight. Other routed
// signals are ignored; real faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) keep
// their default action, so a fault ends the process instead of looping.
#pragma once

namespace kelf {

// Routes the daemon's signals to kelf_catcher. false when the self-pipe
// cannot be made.
bool install_signals();
// Becomes readable once a stop was asked for (for ControlServer::run).
int stop_fd();
// True once SIGINT or SIGTERM arrived; stays true.
bool stop_requested();
// Forgets a stop request (a new start in the same process: tests).
void clear_stop_request();

}  // namespace kelf

// The signal handler of every routed signal: records a stop request.
extern "C" void kelf_catcher(int sig);
