// Which process serves a root: the pid in its PID file, trusted only when that process shows
// the title of this root's master.
#pragma once

#include <sys/types.h>

#include <string>

namespace tvnctl {

enum class server_state {
    running,     // pid is the root's master
    starting,    // pid holds the PID file's lock but is not serving yet
    not_running, // no PID file, or an empty one
    stale,       // the PID file names a process that is gone or is no master of this root
};

struct server_lookup {
    server_state state = server_state::not_running;
    pid_t pid = 0;
    std::string detail; // for starting, not_running and stale: what was found, in words
};

// Looks; signals nothing.
server_lookup find_server(const std::string &root);

// True when the title is that of the root's master. A master whose arguments left too little
// room shows its title cut short; that counts only for the process that holds the root's PID
// file lock (holds_lock), as does a master whose root is spelled otherwise.
bool is_master_title(const std::string &title, const std::string &root, bool holds_lock);

} // namespace tvnctl
