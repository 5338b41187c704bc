#include "signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "daemon.h"
#include "daemon_modules.h"

namespace {

TEST(Signals, OnlyInterruptAndTerminateAskForTheStop) {
    ASSERT_TRUE(kelf::install_signals());
    kelf::reset_modules();
    ASSERT_FALSE(kelf::stop_requested());
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD, SIGALRM, SIGCONT, SIGURG}) {
        ::raise(sig);
        EXPECT_FALSE(kelf::stop_requested()) << sig;
    }
    // A real fault must end the process: its default action stays.
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        struct sigaction sa {};
        ::sigaction(sig, nullptr, &sa);
        EXPECT_NE(sa.sa_handler, &kelf_catcher) << sig;
    }
    ::raise(SIGTERM);
    EXPECT_TRUE(kelf::stop_requested());
    EXPECT_TRUE(kelf::stop_requested()) << "the request stays until the shutdown";
}

}  // namespace
