// Reading /proc: the TCP table for socket inodes, every process's descriptors for who holds
// them, stat for parents and states, smaps_rollup for memory.
#include "proc_view.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>

namespace fs = std::filesystem;

namespace tvnbench {

namespace {

constexpr const char *tcp_listen = "0A";
constexpr const char *tcp_established = "01";

struct tcp_entry {
    std::uint16_t local_port;
    std::uint16_t remote_port;
    std::string state;
    unsigned long inode;
};

std::uint16_t port_of(const std::string &address) {
    const auto colon = address.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::strtoul(address.c_str() + colon + 1, nullptr, 16));
}

std::vector<tcp_entry> tcp_table() {
    std::vector<tcp_entry> entries;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (fields) entries.push_back({port_of(local), port_of(remote), state, inode});
    }
    return entries;
}

bool all_digits(const std::string &name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Calls found(pid, inode) for every socket descriptor of every other process we may look at.
// This one is never the server: with the delay relay it holds sockets on the relay's port
// that would otherwise pass for the server's.
template <typename Found>
void each_socket(Found found) {
    std::error_code error;
    const pid_t self = getpid();
    for (const auto &process : fs::directory_iterator("/proc", error)) {
        const std::string name = process.path().filename().string();
        if (!all_digits(name)) continue;
        const auto pid = static_cast<pid_t>(std::atol(name.c_str()));
        if (pid == self) continue;
        std::error_code unreadable;
        for (const auto &fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
            std::error_code gone;
            const std::string target = fs::read_symlink(fd.path(), gone).string();
            if (gone || target.rfind("socket:[", 0) != 0) continue;
            found(pid, std::strtoul(target.c_str() + 8, nullptr, 10));
        }
    }
}

// The fields of /proc/PID/stat after the command name: state, then the parent.
bool stat_fields(pid_t pid, char &state, pid_t &parent) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= text.size()) return false;
    std::istringstream fields(text.substr(close_paren + 2));
    fields >> state >> parent;
    return static_cast<bool>(fields);
}

} // namespace

bool port_listening(std::uint16_t port) {
    for (const auto &entry : tcp_table())
        if (entry.state == tcp_listen && entry.local_port == port) return true;
    return false;
}

std::vector<pid_t> listening_processes(std::uint16_t port) {
    unsigned long inode = 0;
    for (const auto &entry : tcp_table())
        if (entry.state == tcp_listen && entry.local_port == port) inode = entry.inode;
    std::vector<pid_t> holders;
    if (inode == 0) return holders;
    each_socket([&](pid_t pid, unsigned long held) {
        if (held == inode && (holders.empty() || holders.back() != pid)) holders.push_back(pid);
    });
    return holders;
}

pid_t master_process(const std::vector<pid_t> &holders) {
    for (const pid_t pid : holders) {
        char state = 0;
        pid_t parent = 0;
        if (!stat_fields(pid, state, parent)) continue;
        if (std::find(holders.begin(), holders.end(), parent) == holders.end()) return pid;
    }
    return -1;
}

std::vector<pid_t> serving_processes(std::uint16_t server_port,
                                     const std::vector<std::uint16_t> &client_ports) {
    std::unordered_map<std::uint16_t, std::size_t> index_of_port;
    for (std::size_t i = 0; i < client_ports.size(); ++i) index_of_port[client_ports[i]] = i;
    std::unordered_map<unsigned long, std::size_t> index_of_inode;
    for (const auto &entry : tcp_table()) {
        if (entry.state != tcp_established || entry.local_port != server_port) continue;
        const auto found = index_of_port.find(entry.remote_port);
        if (found != index_of_port.end() && entry.inode != 0)
            index_of_inode[entry.inode] = found->second;
    }
    std::vector<pid_t> servers(client_ports.size(), -1);
    each_socket([&](pid_t pid, unsigned long inode) {
        const auto found = index_of_inode.find(inode);
        if (found != index_of_inode.end()) servers[found->second] = pid;
    });
    return servers;
}

std::optional<long> pss_kib(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line))
        if (line.rfind("Pss:", 0) == 0) return std::atol(line.c_str() + 4);
    return std::nullopt;
}

std::optional<double> cpu_seconds_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return std::nullopt;
    // After the command: state (3), then fields 4 to 13, then utime (14) and stime (15).
    std::istringstream fields(text.substr(close_paren + 2));
    std::string skipped;
    for (int field = 3; field <= 13; ++field) fields >> skipped;
    unsigned long long user = 0, system = 0;
    if (!(fields >> user >> system)) return std::nullopt;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

bool process_alive(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return stat_fields(pid, state, parent) && state != 'Z' && state != 'X';
}

bool catches_signal(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (mask >> (signal_number - 1)) & 1u;
    }
    return false;
}

std::uint16_t local_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

} // namespace tvnbench
