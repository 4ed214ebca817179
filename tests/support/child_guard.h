// Test support: guards for the processes a test forks or pauses, so that a failing test leaves
// none of them behind and none of them stopped.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "server_root.h"
#include "test_server.h"

namespace tvn_test {

// A child the test forked. Unless it was waited for, the destructor continues it (it may be
// stopped), kills it and reaps it.
class child_guard {
public:
    explicit child_guard(pid_t pid = -1) : pid_(pid) {}
    ~child_guard() { end(); }
    child_guard(const child_guard &) = delete;
    child_guard &operator=(const child_guard &) = delete;
    child_guard(child_guard &&other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

    pid_t pid() const { return pid_; }

    // Waits for the child to exit by itself: its exit status, or -1 when it did not exit
    // normally within the time-out (it is then ended).
    int wait_exit(std::chrono::milliseconds timeout) {
        if (pid_ <= 0) return -1;
        pid_t reaped = 0;
        const int status = wait_for_exit(pid_, timeout, &reaped);
        if (reaped == pid_)
            pid_ = -1;
        else
            end();
        return status;
    }

    void end() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
    }

private:
    pid_t pid_;
};

// Forks a child that runs body and leaves with _exit(its result); the guard owns it. The
// child never returns into the test framework.
template <typename Body>
child_guard fork_child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return child_guard(pid);
}

// Stops a process (a child of the test or a server's process) with SIGSTOP and continues it at
// the latest when the guard goes, so that a failing test never leaves it paused.
class stopped_process {
public:
    // Sends SIGSTOP and waits until the process shows as stopped; stopped() tells whether it
    // did.
    explicit stopped_process(pid_t pid) : pid_(pid) {
        if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return;
        stopped_ = wait_until([&] { return process_state_of(pid_) == 'T'; }, 10s);
    }
    ~stopped_process() { resume(); }
    stopped_process(const stopped_process &) = delete;
    stopped_process &operator=(const stopped_process &) = delete;

    bool stopped() const { return stopped_; }

    void resume() {
        if (pid_ > 0) kill(pid_, SIGCONT);
        pid_ = -1;
        stopped_ = false;
    }

private:
    pid_t pid_;
    bool stopped_ = false;
};

} // namespace tvn_test
