// The SIGINT handler and its flag. Only async-signal-safe calls happen in the handler.
#include "interrupt.h"

#include <sys/socket.h>

#include <atomic>
#include <csignal>

namespace tvnclient {

namespace {

std::atomic<int> interrupt_count{0};
std::atomic<int> interruptible_socket{-1};

static_assert(std::atomic<int>::is_always_lock_free);

void on_interrupt(int) {
    if (interrupt_count.fetch_add(1) >= 1) {
        const int fd = interruptible_socket.load();
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
}

} // namespace

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
}

bool interrupted() { return interrupt_count.load() > 0; }
void clear_interrupt() { interrupt_count.store(0); }
void set_interruptible_socket(int fd) { interruptible_socket.store(fd); }

} // namespace tvnclient
