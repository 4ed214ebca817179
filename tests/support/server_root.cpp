// Test support: temporary server roots, programs run to their end, and waiting.
#include "server_root.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace tvn_test {

namespace {

size_t count_of(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace

bool startup_settled(const std::string &output) {
    if (output.find("I can't go on") != std::string::npos) return true;
    return output.find("..OK\n") != std::string::npos &&
           // A module's warnings may stand between a loading line and its "ok".
           count_of(output, "Loading module library") == count_of(output, "ok\n");
}

bool catches_signal(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (mask >> (signal_number - 1)) & 1u;
    }
    return false;
}

temp_root::temp_root(const std::string &parent_dir) {
    std::string pattern = parent_dir + "/tvn-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
    for (const char *dir : {"conf", "lib", "log"}) fs::create_directory(path_ + dir);
}

temp_root::~temp_root() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void temp_root::write_file(const std::string &relative, const std::string &content) const {
    std::ofstream out(file(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string temp_root::read_file(const std::string &relative) const {
    std::ifstream in(file(relative), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool temp_root::exists(const std::string &relative) const {
    return fs::exists(fs::symlink_status(file(relative)));
}

void temp_root::install_server_library() const {
    fs::copy_file(TVN_SERVER_LIBRARY, file("lib/tolvane.so"), fs::copy_options::overwrite_existing);
}

void temp_root::install_test_module(const std::string &module, const std::string &name) const {
    fs::copy_file(std::string(TVN_TEST_MODULE_DIR) + "/" + module + ".so", file("lib/" + name),
                  fs::copy_options::overwrite_existing);
}

command_result run_command(const std::vector<std::string> &argv) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        std::vector<char *> args;
        for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    command_result result;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0)
        result.output.append(chunk, size_t(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds timeout, pid_t *reaped) {
    int status = 0;
    pid_t done = 0;
    bool finished = wait_until(
        [&] {
            done = waitpid(pid, &status, WNOHANG);
            return done > 0 || (done < 0 && errno == ECHILD);
        },
        timeout);
    if (!finished || done <= 0) return -1;
    if (reaped != nullptr) *reaped = done;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t read_pid_file(const temp_root &root) {
    const std::string text = root.read_file("log/tolvane.pid");
    if (text.empty()) return -1;
    return pid_t(std::strtol(text.c_str(), nullptr, 10));
}

launched_server::~launched_server() {
    if (pid_ > 0 && !ended_) stop(SIGINT);
}

bool launched_server::start(std::chrono::milliseconds timeout) {
    become_subreaper();
    // Started again after a stop: the PID file names the previous daemon until the new one
    // has written it, and the new one is to be stopped in its turn.
    const pid_t previous = pid_;
    pid_ = -1;
    ended_ = false;
    launcher_status_ = run_command({TVN_BINARY, "-d", root_.path()}).exit_status;
    if (launcher_status_ != 0) return false;
    if (!wait_until(
            [&] {
                const pid_t written = read_pid_file(root_);
                return written > 0 && written != previous;
            },
            timeout))
        return false;
    pid_ = read_pid_file(root_);
    // Started once the configuration is read and every module loaded, or ended.
    return wait_until([&] { return startup_settled(root_.output()); }, timeout) &&
           kill(pid_, 0) == 0;
}

int launched_server::stop(int signal_number, std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || ended_) return -1;
    // A signal sent before the server installed its handler would end it the default way.
    wait_until([&] { return catches_signal(pid_, signal_number) || kill(pid_, 0) != 0; }, timeout);
    kill(pid_, signal_number);
    return wait_exit(timeout);
}

int launched_server::wait_exit(std::chrono::milliseconds timeout) {
    int status = wait_for_exit(pid_, timeout);
    ended_ = status != -1 || kill(pid_, 0) != 0;
    return status;
}

} // namespace tvn_test
