// tvnctl start: runs the launcher, then follows the detached server until it listens or ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "output_file.h"
#include "pid_file_lock.h"
#include "proc_view.h"
#include "root_layout.h"
#include "server_lookup.h"
#include "text_file.h"
#include "waiting.h"

namespace tvnctl {

namespace {

bool executable(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The launcher: as given, else the tvn beside this program, else the first in PATH.
std::string find_launcher(const std::string &given) {
    if (!given.empty()) return given;
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, size_t(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "tvn";
        if (executable(beside)) return beside;
    }
    const char *path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "";
    for (size_t start = 0; start <= directories.size();) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        const std::string directory = directories.substr(start, end - start);
        const std::string candidate = (directory.empty() ? "." : directory) + "/tvn";
        if (executable(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

// Runs "LAUNCHER -d ROOT" to its end (it returns as soon as the server is detached): its exit
// status, or -1.
int run_launcher(const std::string &launcher, const std::string &root) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        const char *argv[] = {launcher.c_str(), "-d", root.c_str(), nullptr};
        execv(launcher.c_str(), const_cast<char **>(argv));
        std::fprintf(stderr, "tvnctl: cannot run %s: %s\n", launcher.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reaps every process this one adopted; true when there was one. Only the detached server
// (or, once it has died, its orphaned workers) can be adopted: a living master reaps its own
// workers.
bool adopted_process_ended() {
    bool ended = false;
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) ended = true;
    return ended;
}

void print_lines(FILE *stream, const std::vector<std::string> &lines) {
    for (const std::string &line : lines) std::fprintf(stream, "%s\n", line.c_str());
}

int report_failed_start(const std::string &root, pid_t daemon) {
    const pid_t holder = tvn_pid_file::lock_holder(pid_file_of(root));
    if (holder > 0 && holder != daemon && process_alive(holder)) {
        // Another start won the root meanwhile; its output file is not this start's.
        std::fprintf(stderr,
                     "tvnctl: a server is already running on %s (pid %d); it is left alone\n",
                     root.c_str(), int(holder));
        return EXIT_FAILED;
    }
    std::string output;
    if (!read_text_file(output_file_of(root), &output)) {
        std::fprintf(stderr, "tvnctl: the server on %s ended before it wrote %s\n", root.c_str(),
                     output_file_of(root).c_str());
        return EXIT_FAILED;
    }
    std::fprintf(stderr, "tvnctl: the server on %s did not start (%s):\n", root.c_str(),
                 output_file_of(root).c_str());
    print_lines(stderr, reason_lines(output));
    return EXIT_FAILED;
}

} // namespace

int start_server(const invocation &options, const std::string &root) {
    struct stat status {};
    if (stat(root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "tvnctl: %s is no directory\n", root.c_str());
        return EXIT_FAILED;
    }
    const server_lookup before = find_server(root);
    if (before.state == server_state::running || before.state == server_state::starting) {
        std::fprintf(stderr,
                     "tvnctl: a server is already running on %s (pid %d); it is left alone\n",
                     root.c_str(), int(before.pid));
        return EXIT_FAILED;
    }
    const std::string launcher = find_launcher(options.tvn);
    if (launcher.empty()) {
        std::fprintf(stderr,
                     "tvnctl: tvn is neither beside tvnctl nor in PATH (name it with --tvn)\n");
        return EXIT_FAILED;
    }
    // The launcher's detached child is orphaned at once; adopting it lets this process see
    // it end, however early.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const int launched = run_launcher(launcher, root);
    if (launched != 0) {
        std::fprintf(stderr, "tvnctl: %s -d %s failed (exit status %d)\n", launcher.c_str(),
                     root.c_str(), launched);
        return EXIT_FAILED;
    }
    const deadline until(options.timeout_seconds);
    pid_t daemon = 0;
    for (;;) {
        if (adopted_process_ended()) return report_failed_start(root, daemon);
        if (daemon == 0) daemon = tvn_pid_file::lock_holder(pid_file_of(root));
        // The master names itself once every socket is open, and the listening lines are
        // written before that.
        if (daemon > 0 && is_master_title(process_title(daemon), root, true)) {
            std::string output;
            read_text_file(output_file_of(root), &output);
            const std::vector<std::string> listening = listening_lines(output);
            if (!listening.empty()) {
                print_lines(stdout, warning_lines(output));
                print_lines(stdout, listening);
                return EXIT_DONE;
            }
        }
        if (until.passed()) break;
        pause_a_moment();
    }
    std::fprintf(stderr, "tvnctl: the server on %s does not listen after %d s; it is left as it is",
                 root.c_str(), options.timeout_seconds);
    if (daemon > 0) std::fprintf(stderr, " (pid %d)", int(daemon));
    std::fprintf(stderr, "\n");
    return EXIT_FAILED;
}

} // namespace tvnctl
