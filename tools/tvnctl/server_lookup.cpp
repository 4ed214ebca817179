// Finding the master of a root.
#include "server_lookup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pid_file_lock.h"
#include "proc_view.h"
#include "root_layout.h"

namespace tvnctl {

namespace {

constexpr const char *MASTER_PREFIX = "tvn: master ";

// The pid the file names; 0 when it names none; -1 (with errno) when it cannot be read.
long pid_named_by(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const long pid = tvn_pid_file::pid_in(fd);
    close(fd);
    return pid;
}

std::string quoted_title(pid_t pid) {
    const std::string title = process_title(pid);
    return title.empty() ? "a process without a title" : "\"" + title + "\"";
}

} // namespace

bool is_master_title(const std::string &title, const std::string &root, bool holds_lock) {
    const std::string expected = master_title_of(root);
    if (title == expected) return true;
    // Cut short, or the same root spelled otherwise: the lock tells.
    return holds_lock && title.rfind(MASTER_PREFIX, 0) == 0;
}

server_lookup find_server(const std::string &root) {
    const std::string path = pid_file_of(root);
    server_lookup found;
    const long named = pid_named_by(path);
    const pid_t holder = tvn_pid_file::lock_holder(path);
    if (named < 0) {
        if (errno == ENOENT) {
            found.detail = "there is no " + path;
            return found;
        }
        found.detail = path + " cannot be read: " + std::strerror(errno);
        return found;
    }
    if (named == 0 || named > 0x7fffffff) {
        if (holder > 0) {
            // The launcher writes the pid right after taking the lock.
            found.state = server_state::starting;
            found.pid = holder;
            found.detail = "process " + std::to_string(holder) + " holds " + path;
            return found;
        }
        found.detail = path + " names no process";
        return found;
    }
    const pid_t pid = pid_t(named);
    // The lock holder is the master, whatever the file says: a file overwritten by hand does
    // not hide it.
    if (holder > 0 && holder != pid && is_master_title(process_title(holder), root, true)) {
        found.state = server_state::running;
        found.pid = holder;
        return found;
    }
    found.pid = pid;
    if (!process_alive(pid)) {
        found.state = server_state::stale;
        found.detail = path + " names process " + std::to_string(pid) + ", which has ended";
        return found;
    }
    const std::string title = process_title(pid);
    if (is_master_title(title, root, holder == pid)) {
        found.state = server_state::running;
        return found;
    }
    if (holder == pid) {
        found.state = server_state::starting;
        found.detail = "process " + std::to_string(pid) + " is still starting";
        return found;
    }
    found.state = server_state::stale;
    found.detail = path + " names process " + std::to_string(pid) +
                   ", which is not the master of " + root + " (it is " + quoted_title(pid) + ")";
    return found;
}

} // namespace tvnctl
