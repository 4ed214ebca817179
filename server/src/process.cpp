// The process model. For now the master only waits for its stop signal: the listeners and
// the worker pool come with the connection handling.
#include "process.h"

#include <csignal>
#include <cstdio>

namespace {
volatile sig_atomic_t running = 0;
}

extern "C" int os_get_server_status(void) { return running; }

extern "C" void os_quit_server(int) { running = 0; }

extern "C" int os_stop_main(void) { return 0; }

extern "C" int os_main(tvn_server_conf *, tvn_init_mpool *) {
    std::fflush(stdout);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGQUIT);
    sigset_t previous;
    // Blocked until sigsuspend, so a signal between the test and the wait is not lost.
    sigprocmask(SIG_BLOCK, &stop_signals, &previous);
    struct sigaction action {};
    action.sa_handler = os_quit_server;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGCHLD);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    running = 1;
    sigset_t wait_mask = previous;
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGQUIT);
    while (running) sigsuspend(&wait_mask);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}
