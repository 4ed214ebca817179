// Test support: running a piece of a test in a forked child, for code that changes the process
// itself (its user and groups) or has to meet another process at a file or a lock.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "server_root.h"

namespace tvn_test {

// Runs body in a forked child and returns the text it returned; nullopt when the child did
// not end normally within the time-out (it is then killed). The child leaves with _exit, so
// nothing of the test framework runs twice.
inline std::optional<std::string> run_in_child(const std::function<std::string()> &body,
                                               std::chrono::milliseconds timeout = 10s) {
    int channel[2];
    if (pipe(channel) != 0) return std::nullopt;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(channel[0]);
        close(channel[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(channel[0]);
        int code = 0;
        try {
            const std::string result = body();
            for (size_t done = 0; done < result.size();) {
                const ssize_t n = write(channel[1], result.data() + done, result.size() - done);
                if (n <= 0) break;
                done += size_t(n);
            }
        } catch (...) {
            code = 1;
        }
        _exit(code);
    }
    close(channel[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{channel[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, int(left.count())) <= 0) break;
        char chunk[4096];
        const ssize_t n = read(channel[0], chunk, sizeof chunk);
        if (n > 0)
            text.append(chunk, size_t(n));
        else
            ended = true;
    }
    close(channel[0]);
    pid_t reaped = 0;
    const int status = wait_for_exit(pid, ended ? 5s : 0ms, &reaped);
    if (reaped != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return std::nullopt;
    }
    if (status != 0) return std::nullopt;
    return text;
}

} // namespace tvn_test
