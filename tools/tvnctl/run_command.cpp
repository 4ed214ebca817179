// tvnctl run: the server in the foreground, for a service manager that supervises it. This
// process takes the PID file as the launcher does and becomes the master itself; its output
// stays on standard output and error.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "pid_file_lock.h"
#include "root_layout.h"
#include "server_library.h"

namespace tvnctl {

namespace {

using entry_point = int (*)(char *);
using signal_handler = void (*)(int);

// Takes the root's PID file for this process; false after a message. The descriptor stays
// open (and the lock held) until the process ends.
bool claim_pid_file(const std::string &root) {
    const std::string path = pid_file_of(root);
    const int fd = tvn_pid_file::open_file(path);
    if (fd < 0) {
        std::fprintf(stderr, "tvnctl: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (!tvn_pid_file::lock(fd)) {
        std::fprintf(stderr,
                     "tvnctl: a server is already running on %s (pid %ld); it is left alone\n",
                     root.c_str(), tvn_pid_file::pid_in(fd));
        close(fd);
        return false;
    }
    if (!tvn_pid_file::write_pid(fd, getpid())) {
        std::fprintf(stderr, "tvnctl: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        close(fd);
        return false;
    }
    return true;
}

} // namespace

int run_server(const std::string &root) {
    if (chdir(root.c_str()) != 0) {
        std::fprintf(stderr, "tvnctl: cannot enter %s: %s\n", root.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    if (!claim_pid_file(root)) return EXIT_FAILED;
    std::string error;
    auto tvn_main = reinterpret_cast<entry_point>(server_entry_point(root, "tvn_main", &error));
    // The master's stop handler: installed once the server listens and serves.
    auto stop_handler =
        reinterpret_cast<signal_handler>(server_entry_point(root, "os_quit_server", &error));
    if (tvn_main == nullptr || stop_handler == nullptr) {
        std::fprintf(stderr, "tvnctl: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    // A service manager reads a pipe: each line as soon as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<char> root_text(root.begin(), root.end());
    root_text.push_back('\0');
    // A configuration or module failure ends the process inside with status 1; a server that
    // could not open its sockets returns like one that was stopped.
    tvn_main(root_text.data());
    std::fflush(stdout);
    struct sigaction stop {};
    sigaction(SIGTERM, nullptr, &stop);
    return stop.sa_handler == stop_handler ? EXIT_DONE : EXIT_FAILED;
}

} // namespace tvnctl
