// Test support: running programs and code on a pseudo-terminal.
#include "pty_session.h"

#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "server_root.h"

namespace fs = std::filesystem;

namespace tvn_test {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int left_ms(steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// In the child: supplementary groups, group, then user, each checked.
bool become(uid_t uid) {
    const passwd *user = getpwuid(uid);
    const gid_t gid = user != nullptr ? user->pw_gid : gid_t(uid);
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// A copy of the program in a fresh directory under /tmp that every user may enter and run
// from; its directory, or "" when it could not be made.
std::string make_reachable_copy(const std::string &program) {
    char pattern[] = "/tmp/tvn-run-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "";
    const std::string dir = pattern;
    std::error_code failed;
    fs::permissions(dir, fs::perms(0755), failed);
    const fs::path copy = fs::path(dir) / fs::path(program).filename();
    if (!failed) fs::copy_file(program, copy, failed);
    if (!failed) fs::permissions(copy, fs::perms(0755), failed);
    if (failed) {
        fs::remove_all(dir, failed);
        return "";
    }
    return dir;
}

} // namespace

pty_session::pty_session(const std::function<void()> &body) {
    start([&body] {
        body();
        std::fflush(nullptr);
        _exit(0);
    });
}

pty_session::pty_session(const std::vector<std::string> &argv, const pty_options &options) {
    std::vector<std::string> run = argv;
    if (options.uid && !run.empty()) {
        reachable_dir_ = make_reachable_copy(run[0]);
        if (!reachable_dir_.empty())
            run[0] = reachable_dir_ + "/" + fs::path(run[0]).filename().string();
    }
    start([&run, &options] {
        if (options.prepare && !options.prepare()) _exit(125);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(125);
        if (options.uid && !become(*options.uid)) _exit(125);
        std::vector<char *> args;
        for (const std::string &arg : run) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    });
}

void pty_session::start(const std::function<void()> &child_body) {
    std::fflush(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
        child_body();
        _exit(0);
    }
}

pty_session::~pty_session() {
    if (pid_ > 0 && !reaped_) {
        pid_t reaped = 0;
        wait_for_exit(pid_, 0ms, &reaped);
        if (reaped != pid_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (master_ >= 0) close(master_);
    std::error_code ignored;
    if (!reachable_dir_.empty()) fs::remove_all(reachable_dir_, ignored);
}

bool pty_session::echo_on() const {
    // The master side reports the terminal's settings.
    termios settings{};
    return tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

bool pty_session::send_line(const std::string &line) { return send_text(line + "\n"); }

bool pty_session::send_text(const std::string &text) {
    return write(master_, text.data(), text.size()) == ssize_t(text.size());
}

bool pty_session::type_silently(const std::string &line, milliseconds timeout) {
    if (!wait_until([&] { return !echo_on(); }, timeout)) return false;
    return send_line(line);
}

bool pty_session::read_some(int wait_ms) {
    if (output_ended_) return false;
    pollfd readable{master_, POLLIN, 0};
    if (poll(&readable, 1, wait_ms) <= 0) return true;
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n > 0) {
        output_.append(chunk, std::size_t(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    // EIO: every descriptor of the child's side is closed and all output has been read.
    output_ended_ = true;
    return false;
}

bool pty_session::read_until(const std::string &text, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        const std::string so_far = this->text();
        const std::size_t at = so_far.find(text, seen_);
        if (at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        const int wait_ms = left_ms(deadline);
        if (wait_ms == 0 || !read_some(wait_ms)) return false;
    }
}

int pty_session::wait_exit(milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    const auto deadline = steady_clock::now() + timeout;
    while (read_some(left_ms(deadline)) && left_ms(deadline) > 0) {}
    pid_t reaped = 0;
    status_ = wait_for_exit(pid_, milliseconds(left_ms(deadline)), &reaped);
    if (reaped != pid_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status_ = -1;
    }
    reaped_ = true;
    return status_;
}

std::string pty_session::text() const {
    std::string plain;
    plain.reserve(output_.size());
    for (std::size_t i = 0; i < output_.size(); ++i)
        if (!(output_[i] == '\r' && i + 1 < output_.size() && output_[i + 1] == '\n'))
            plain.push_back(output_[i]);
    return plain;
}

} // namespace tvn_test
