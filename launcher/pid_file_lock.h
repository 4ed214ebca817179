// The PID file and its lock, shared by tvn and tvnctl: the master keeps log/tolvane.pid open and
// write-locked for its whole life, so a second start on the same root, and tvnctl, can tell a
// running server from a file left behind by one that ended.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tvn_pid_file {

// Opens the PID file for reading and writing, creating it (0644); -1 on failure (errno tells).
inline int open_file(const std::string &path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Takes the write lock on the whole file without waiting; false when another process holds it
// (or the lock cannot be taken). The lock lasts until this process closes any descriptor of
// the file, or ends.
inline bool lock(int fd) {
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &request) == 0;
}

// The decimal pid the file holds, or 0 when it holds none.
inline long pid_in(int fd) {
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? std::strtol(text, nullptr, 10) : 0;
}

// Replaces the file's content with the pid, in decimal, without a newline.
inline bool write_pid(int fd, pid_t pid) {
    const std::string text = std::to_string(pid);
    return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == ssize_t(text.size());
}

// The process that holds the file's lock, or 0 when none does (or the file cannot be read).
// Only asks: the file is neither created nor locked, and any lock this process held on it is
// lost when the descriptor is closed, so the master never asks about its own file.
inline pid_t lock_holder(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool asked = fcntl(fd, F_GETLK, &probe) == 0;
    close(fd);
    return asked && probe.l_type != F_UNLCK ? probe.l_pid : 0;
}

} // namespace tvn_pid_file
