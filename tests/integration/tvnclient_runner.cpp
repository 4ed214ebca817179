// Starting tvnclient with pipes or a pseudo-terminal and collecting what it prints.
#include "tvnclient_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tvn_test::cli {

namespace {

using namespace std::chrono_literals;

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> list;
    for (auto &text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void become_client(const client_settings &settings, int input, int output, int errors,
                                const char *terminal, char *const *argv, char *const *envp) {
    setsid();
    if (terminal != nullptr) {
        // The first terminal a session leader opens becomes its controlling terminal.
        const int fd = open(terminal, O_RDWR);
        if (fd < 0) _exit(126);
        input = output = errors = fd;
    }
    dup2(input, 0);
    dup2(output, 1);
    dup2(errors, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(settings.directory.c_str()) != 0) _exit(126);
    if (settings.file_size_limit >= 0) {
        const rlimit size{rlim_t(settings.file_size_limit), rlim_t(settings.file_size_limit)};
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_FSIZE, &size);
        setrlimit(RLIMIT_CORE, &no_core);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number : {SIGINT, SIGPIPE, SIGXFSZ, SIGTERM}) signal(signal_number, SIG_DFL);
    execve(TVNCLIENT_BINARY, argv, envp);
    _exit(127);
}

} // namespace

client_process::client_process(const client_settings &settings) {
    std::vector<std::string> argument_texts{"tvnclient"};
    argument_texts.insert(argument_texts.end(), settings.arguments.begin(),
                          settings.arguments.end());
    std::vector<std::string> environment_texts = settings.environment;
    const std::vector<char *> argv = pointers(argument_texts);
    const std::vector<char *> envp = pointers(environment_texts);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    std::string terminal;
    if (settings.terminal) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminal = ptsname(master);
        input_ = master;
        output_ = dup(master);
    } else if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
               pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipes");
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0)
        become_client(settings, in_pipe[0], out_pipe[1], err_pipe[1],
                      settings.terminal ? terminal.c_str() : nullptr, argv.data(), envp.data());
    if (!settings.terminal) {
        close(in_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        input_ = in_pipe[1];
        output_ = out_pipe[0];
        errors_ = err_pipe[0];
    }
}

client_process::~client_process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, output_, errors_})
        if (fd >= 0) close(fd);
}

void client_process::send(std::string_view text) {
    while (!text.empty() && input_ >= 0) {
        const ssize_t n = write(input_, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(std::size_t(n));
    }
}

void client_process::close_input() {
    // On a terminal, input and output are one device: end the input with ^D instead.
    if (errors_ < 0 && output_ >= 0) {
        send("\x04");
        return;
    }
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void client_process::pump(std::chrono::milliseconds wait) {
    pollfd streams[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
    if (poll(streams, 2, int(wait.count())) <= 0) return;
    for (int i = 0; i < 2; ++i) {
        if (streams[i].fd < 0 || streams[i].revents == 0) continue;
        char chunk[65536];
        const ssize_t n = read(streams[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            (i == 0 ? out_text_ : err_text_).append(chunk, std::size_t(n));
            continue;
        }
        // The end of a pipe, or of a terminal whose other side is closed (EIO).
        close(streams[i].fd);
        (i == 0 ? output_ : errors_) = -1;
    }
}

bool client_process::wait_for(const std::function<bool()> &condition,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (output_ < 0 && errors_ < 0) return condition();
        pump(10ms);
    }
    return true;
}

int client_process::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((output_ >= 0 || errors_ >= 0) && std::chrono::steady_clock::now() < deadline) {
        pump(10ms);
        int status = 0;
        // A terminal's output does not end while the program's child keeps it open, and a
        // pipe's not while the program runs: look at the program itself too.
        if (!reaped_ && waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            while ((output_ >= 0 || errors_ >= 0) && std::chrono::steady_clock::now() < deadline)
                pump(10ms);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
    return -1;
}

client_result run_client(const client_settings &settings, std::string_view input) {
    client_process client(settings);
    client.send(input);
    client.close_input();
    client_result result;
    result.status = client.wait_exit();
    result.out = client.out();
    result.err = client.err();
    return result;
}

} // namespace tvn_test::cli
