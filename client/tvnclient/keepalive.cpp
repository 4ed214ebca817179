// The keep-alive thread. It takes the session's mutex for every packet, so it never sends
// in the middle of a command's request and answer.
#include "keepalive.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <mutex>

namespace tvnclient {

std::chrono::milliseconds keepalive_period(std::chrono::seconds announced) {
    return std::max(std::chrono::milliseconds(500),
                    std::chrono::duration_cast<std::chrono::milliseconds>(announced) * 3 / 4);
}

keepalive_thread::keepalive_thread(session &remote) : remote_(remote) {
    if (remote_.keepalive_interval().count() == 0) return;
    // Signals belong to the main thread: Ctrl-C must interrupt its prompt, not this wait.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

keepalive_thread::~keepalive_thread() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
}

void keepalive_thread::run(std::stop_token stop) {
    const auto period = keepalive_period(remote_.keepalive_interval());
    std::mutex wait_mutex;
    std::condition_variable_any woken;
    auto due = std::chrono::steady_clock::now() + period;
    while (!stop.stop_requested()) {
        {
            std::unique_lock wait_lock(wait_mutex);
            woken.wait_until(wait_lock, stop, due, [] { return false; });
        }
        if (stop.stop_requested()) return;
        std::lock_guard talking(remote_.mutex());
        if (!remote_.is_open()) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - remote_.last_sent() >= period && !remote_.send_keepalive()) return;
        due = remote_.last_sent() + period;
    }
}

} // namespace tvnclient
