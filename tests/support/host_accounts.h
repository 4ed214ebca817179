// Test support for host accounts: the machine's account files, the host's account tools, the
// shadow file's lines and fields, a worker's identity in /proc, and a process that holds the
// host's password-file lock.
#pragma once

#include <poll.h>
#include <shadow.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "server_root.h"

namespace tvn_test {

// A whole file; "" when it cannot be read.
inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The ":"-separated fields of a shadow line.
inline std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1)
        fields.push_back(line.substr(start, colon - start));
    fields.push_back(line.substr(start));
    return fields;
}

// The shadow line of user (exact name), or "".
inline std::string entry_of(const std::string &shadow_text, const std::string &user) {
    for (const std::string &line : lines_of(shadow_text))
        if (line.rfind(user + ":", 0) == 0) return line;
    return "";
}

// The files that would show a change to the machine's own accounts.
inline std::string machine_account_files() {
    std::string all;
    for (const char *path : {"/etc/passwd", "/etc/shadow", "/etc/group", "/etc/gshadow"})
        all += std::string(path) + "\n" + read_text(path);
    return all;
}

// useradd, usermod, groupadd and chpasswd are installed.
inline bool account_tools_present() {
    for (const char *tool :
         {"/usr/sbin/useradd", "/usr/sbin/usermod", "/usr/sbin/groupadd", "/usr/sbin/chpasswd"})
        if (access(tool, X_OK) != 0) return false;
    return true;
}

// Runs a program with input on its standard input; its exit status, or -1.
inline int run_with_input(const std::vector<std::string> &argv, const std::string &input) {
    int channel[2];
    if (pipe(channel) != 0) return -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(channel[0], 0);
        close(channel[0]);
        close(channel[1]);
        std::vector<char *> args;
        for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(channel[0]);
    const bool written = write(channel[1], input.data(), input.size()) == ssize_t(input.size());
    close(channel[1]);
    const int status = wait_for_exit(child, 20s);
    return written ? status : -1;
}

// Fields of /proc/PID/status by name.
inline std::map<std::string, std::string> proc_status(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(status, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        fields[line.substr(0, colon)] = value;
    }
    return fields;
}

// A process that holds the host's password-file lock until it is released.
class password_lock_holder {
public:
    ~password_lock_holder() { release(); }

    // True once the child holds the lock.
    bool hold() {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) return false;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release_[1]);
            const char held = lckpwdf() == 0 ? 'y' : 'n';
            (void)!write(ready[1], &held, 1);
            char ignored;
            (void)!read(release_[0], &ignored, 1); // returns when the parent lets go
            ulckpwdf();
            _exit(0);
        }
        close(ready[1]);
        close(release_[0]);
        pollfd readable{ready[0], POLLIN, 0};
        char held = 'n';
        const bool answered = poll(&readable, 1, 20000) == 1 && read(ready[0], &held, 1) == 1;
        close(ready[0]);
        return answered && held == 'y';
    }
    void release() {
        if (pid_ <= 0) return;
        close(release_[1]);
        if (wait_for_exit(pid_, 10s) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};

} // namespace tvn_test
