// tvnctl stop: signals the root's master, after making sure it is one, and waits until it and
// every worker are gone.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "commands.h"
#include "proc_view.h"
#include "root_layout.h"
#include "server_lookup.h"
#include "waiting.h"

namespace tvnctl {

namespace {

// The processes a stop waits for, each known by its pid and its start, so that a pid taken
// over by a new process is not waited for.
class server_processes {
public:
    explicit server_processes(pid_t master) : master_(master) {
        if (const auto stat = read_process_stat(master)) master_start_ = stat->start;
        note_workers();
    }

    // Workers forked while the master drains are waited for as well.
    void note_workers() {
        if (!master_alive()) return;
        for (pid_t worker : children_of(master_))
            if (const auto stat = read_process_stat(worker)) workers_.emplace(worker, stat->start);
    }

    bool master_alive() const { return same_process(master_, master_start_); }

    int workers_left() const {
        int left = 0;
        for (const auto &[pid, start] : workers_) left += same_process(pid, start) ? 1 : 0;
        return left;
    }

private:
    pid_t master_;
    unsigned long long master_start_ = 0;
    std::map<pid_t, unsigned long long> workers_;
};

// Waits while the server is still starting (it may not be stopped before it has named
// itself); what is found then.
server_lookup settled_server(const std::string &root, const deadline &until) {
    server_lookup found = find_server(root);
    while (found.state == server_state::starting && !until.passed()) {
        pause_a_moment();
        found = find_server(root);
    }
    return found;
}

} // namespace

int stop_server(const invocation &options, const std::string &root) {
    const deadline until(options.timeout_seconds);
    const server_lookup found = settled_server(root, until);
    switch (found.state) {
    case server_state::not_running:
        std::fprintf(stderr, "tvnctl: no server is running on %s (%s)\n", root.c_str(),
                     found.detail.c_str());
        return EXIT_FAILED;
    case server_state::stale:
        std::fprintf(stderr, "tvnctl: no server is running on %s: %s; nothing was signalled\n",
                     root.c_str(), found.detail.c_str());
        return EXIT_FAILED;
    case server_state::starting:
        std::fprintf(stderr,
                     "tvnctl: the server on %s (pid %d) is still starting after %d s; nothing "
                     "was signalled\n",
                     root.c_str(), int(found.pid), options.timeout_seconds);
        return EXIT_FAILED;
    case server_state::running: break;
    }
    server_processes processes(found.pid);
    const int signal_number = options.drain ? SIGQUIT : SIGINT;
    if (kill(found.pid, signal_number) != 0) {
        std::fprintf(stderr, "tvnctl: cannot signal the master of %s (pid %d): %s\n", root.c_str(),
                     int(found.pid), std::strerror(errno));
        return EXIT_FAILED;
    }
    for (;;) {
        processes.note_workers();
        const bool master_alive = processes.master_alive();
        const int workers_left = processes.workers_left();
        if (!master_alive && workers_left == 0) {
            std::printf("tolvane on %s (pid %d) has stopped\n", root.c_str(), int(found.pid));
            return EXIT_DONE;
        }
        if (until.passed()) {
            std::fprintf(stderr,
                         "tvnctl: the server on %s (pid %d) has not stopped within %d s: %s, %d "
                         "worker(s) left\n",
                         root.c_str(), int(found.pid), options.timeout_seconds,
                         master_alive ? "its master runs" : "its master has ended", workers_left);
            return EXIT_FAILED;
        }
        pause_a_moment();
    }
}

} // namespace tvnctl
