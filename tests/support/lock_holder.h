// Test support: another process that holds the write lock of a file, and a look at which
// files a process has open; for testing what writers do when they meet each other.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "server_root.h"

namespace tvn_test {

// A child process that opens path and holds a write lock on the whole file until release()
// or destruction. held() tells whether it got the lock.
class lock_holder {
public:
    explicit lock_holder(const std::string &path) {
        int ready[2], hold[2];
        if (pipe(ready) != 0) return;
        if (pipe(hold) != 0) {
            close(ready[0]);
            close(ready[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            const int fd = open(path.c_str(), O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            const char answer = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
            (void)write(ready[1], &answer, 1);
            char ignored;
            (void)read(hold[0], &ignored, 1); // returns when the parent lets go
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        release_fd_ = hold[1];
        pollfd readable{ready[0], POLLIN, 0};
        char answer = 'n';
        if (pid_ > 0 && poll(&readable, 1, 5000) == 1 && read(ready[0], &answer, 1) == 1)
            held_ = answer == 'y';
        close(ready[0]);
    }
    ~lock_holder() { release(); }
    lock_holder(const lock_holder &) = delete;
    lock_holder &operator=(const lock_holder &) = delete;

    bool held() const { return held_; }

    // Ends the child, which releases the lock.
    void release() {
        if (release_fd_ >= 0) close(release_fd_);
        release_fd_ = -1;
        if (pid_ <= 0) return;
        pid_t reaped = 0;
        wait_for_exit(pid_, 5s, &reaped);
        if (reaped != pid_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        held_ = false;
    }

private:
    pid_t pid_ = -1;
    int release_fd_ = -1;
    bool held_ = false;
};

// Forks a child that runs write and exits with its result. The child first closes the
// descriptor it inherited from this process, and the call returns only then: a file the child
// is later seen to hold is one it opened itself. -1 when the child could not be started.
template <typename Write>
pid_t start_writer(int inherited_fd, Write write_in_child) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(inherited_fd);
        close(ready[1]);
        _exit(int(write_in_child()));
    }
    close(ready[1]);
    char ignored;
    pollfd closed{ready[0], POLLIN, 0};
    // The child's end of the pipe closes right after the inherited descriptor.
    const bool ok = pid > 0 && poll(&closed, 1, 5000) == 1 && read(ready[0], &ignored, 1) == 0;
    close(ready[0]);
    if (!ok && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// True when process pid has path open (path as the kernel names it: absolute, no "..").
inline bool has_open(pid_t pid, const std::string &path) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *entries = opendir(dir.c_str());
    if (entries == nullptr) return false;
    bool found = false;
    while (dirent *entry = readdir(entries)) {
        char target[PATH_MAX];
        const ssize_t length =
            readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (path == target) found = true;
    }
    closedir(entries);
    return found;
}

} // namespace tvn_test
