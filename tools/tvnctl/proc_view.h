// What /proc shows of a process: its title, its state, its parent, its start, its children.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tvnctl {

struct process_stat {
    char state = 0; // 'R', 'S', 'Z', ...
    pid_t parent = 0;
    unsigned long long start = 0; // clock ticks after boot
};

// The fields of /proc/PID/stat that tvnctl needs; none when the process is gone.
std::optional<process_stat> read_process_stat(pid_t pid);

// The process's title: its command line up to the first NUL (servers write their titles over
// their arguments); empty when it cannot be read.
std::string process_title(pid_t pid);

// True while the process exists and has not ended (a zombie has ended).
bool process_alive(pid_t pid);

// The living children of a process.
std::vector<pid_t> children_of(pid_t parent);

// When the process started, as a calendar time; none when it is gone.
std::optional<time_t> process_started_at(pid_t pid);

// The same process still: alive and started at the same tick.
bool same_process(pid_t pid, unsigned long long start);

} // namespace tvnctl
