// tvnctl check: the server library reads the configuration and loads the modules in a child
// process, as a start would; its output is captured and each message is given its line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check_report.h"
#include "commands.h"
#include "root_layout.h"
#include "server_library.h"
#include "text_file.h"
#include "waiting.h"

namespace tvnctl {

namespace {

using check_function = int (*)(char *);

constexpr int CHILD_WOULD_START = 0;
constexpr int CHILD_WOULD_NOT_START = 1;
constexpr int CHILD_NO_LIBRARY = 2;

// In the child: its output goes to the pipe, in the order it is printed.
[[noreturn]] void check_in_child(const std::string &root, int output_fd) {
    dup2(output_fd, STDOUT_FILENO);
    dup2(output_fd, STDERR_FILENO);
    close(output_fd);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    auto check =
        reinterpret_cast<check_function>(server_entry_point(root, "tvn_check_config", &error));
    if (check == nullptr) {
        std::printf("%s\n", error.c_str());
        std::fflush(stdout);
        _exit(CHILD_NO_LIBRARY);
    }
    std::vector<char> root_text(root.begin(), root.end());
    root_text.push_back('\0');
    const int result = check(root_text.data());
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(result == 0 ? CHILD_WOULD_START : CHILD_WOULD_NOT_START);
}

// Reads the child's output until it closes the pipe or the time is up.
std::string read_output(int fd, const deadline &until, bool *timed_out) {
    std::string output;
    char chunk[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int waited = poll(&ready, 1, int(until.left_ms()));
        if (waited < 0 && errno == EINTR) continue;
        if (waited <= 0) {
            *timed_out = waited == 0;
            return output;
        }
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return output;
        output.append(chunk, size_t(got));
    }
}

} // namespace

int check_configuration(const invocation &options, const std::string &root) {
    // The modules read "conf/tolvane.conf" relative to the working directory.
    if (chdir(root.c_str()) != 0) {
        std::fprintf(stderr, "tvnctl: cannot enter %s: %s\n", root.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    std::string config;
    if (!read_text_file(CONFIG_FILE, &config)) {
        std::fprintf(stderr, "tvnctl: %s%s cannot be read: %s\n", root.c_str(), CONFIG_FILE,
                     std::strerror(errno));
        return EXIT_FAILED;
    }
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "tvnctl: no pipe: %s\n", std::strerror(errno));
        return EXIT_FAILED;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const deadline until(options.timeout_seconds);
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "tvnctl: cannot fork: %s\n", std::strerror(errno));
        return EXIT_FAILED;
    }
    if (child == 0) {
        close(channel[0]);
        check_in_child(root, channel[1]);
    }
    close(channel[1]);
    bool timed_out = false;
    const std::string output = read_output(channel[0], until, &timed_out);
    close(channel[0]);
    if (timed_out) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (timed_out) {
        std::fprintf(stderr, "tvnctl: the check of %s took more than %d s and was ended\n",
                     root.c_str(), options.timeout_seconds);
        return EXIT_FAILED;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == CHILD_NO_LIBRARY) {
        std::fputs(output.c_str(), stderr);
        if (WIFSIGNALED(status))
            std::fprintf(stderr, "tvnctl: the check of %s ended by signal %d\n", root.c_str(),
                         WTERMSIG(status));
        return EXIT_FAILED;
    }
    for (const std::string &line : check_report(root, config, output))
        std::printf("%s\n", line.c_str());
    if (WEXITSTATUS(status) != CHILD_WOULD_START) return EXIT_FAILED;
    std::printf("%s: the server would start\n", CONFIG_FILE);
    return EXIT_DONE;
}

} // namespace tvnctl
