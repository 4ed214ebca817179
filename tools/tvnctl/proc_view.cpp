// Reading /proc.
#include "proc_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tvnctl {

namespace {

// The whole content of a file of /proc (read() until the end: their sizes are not known).
std::string read_proc_file(const std::string &path) {
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0)
            content.append(chunk, size_t(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    close(fd);
    return content;
}

bool all_digits(const char *name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

} // namespace

std::optional<process_stat> read_process_stat(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    const std::string text = read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold blanks and parentheses: fields count from the last ')'.
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= text.size()) return std::nullopt;
    std::istringstream fields(text.substr(name_end + 2));
    process_stat stat;
    long parent = 0;
    if (!(fields >> stat.state >> parent)) return std::nullopt;
    stat.parent = pid_t(parent);
    // Fields 5 to 21 lie between the parent and the start time (field 22).
    std::string skipped;
    for (int field = 5; field <= 21; ++field)
        if (!(fields >> skipped)) return std::nullopt;
    if (!(fields >> stat.start)) return std::nullopt;
    return stat;
}

std::string process_title(pid_t pid) {
    if (pid <= 0) return "";
    const std::string text = read_proc_file("/proc/" + std::to_string(pid) + "/cmdline");
    return text.substr(0, text.find('\0'));
}

bool process_alive(pid_t pid) {
    const auto stat = read_process_stat(pid);
    return stat && stat->state != 'Z' && stat->state != 'X';
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent *entry = readdir(proc)) {
        if (!all_digits(entry->d_name)) continue;
        const pid_t pid = pid_t(std::strtol(entry->d_name, nullptr, 10));
        const auto stat = read_process_stat(pid);
        if (stat && stat->parent == parent && stat->state != 'Z' && stat->state != 'X')
            children.push_back(pid);
    }
    closedir(proc);
    return children;
}

std::optional<time_t> process_started_at(pid_t pid) {
    const auto stat = read_process_stat(pid);
    if (!stat) return std::nullopt;
    // The boot time of /proc/stat ("btime") is fixed, so the start is the same at every call.
    std::ifstream kernel_stat("/proc/stat");
    std::string name;
    long long boot_time = -1;
    while (kernel_stat >> name)
        if (name == "btime" && kernel_stat >> boot_time) break;
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    if (boot_time < 0 || ticks_per_second <= 0) return std::nullopt;
    return time_t(boot_time + (long long)(stat->start / (unsigned long long)(ticks_per_second)));
}

bool same_process(pid_t pid, unsigned long long start) {
    const auto stat = read_process_stat(pid);
    return stat && stat->start == start && stat->state != 'Z' && stat->state != 'X';
}

} // namespace tvnctl
