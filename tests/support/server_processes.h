// Test support: what /proc shows of a running server's processes: System V objects, open
// descriptors and sockets, and which worker serves a given connection.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_server.h"

namespace tvn_test {

// The rows of /proc/sysvipc/KIND (msg, shm, sem), each a map from column name to number.
inline std::vector<std::map<std::string, long>> ipc_rows(const std::string &kind) {
    std::ifstream table("/proc/sysvipc/" + kind);
    std::string header_line;
    std::getline(table, header_line);
    std::istringstream header(header_line);
    std::vector<std::string> names;
    for (std::string name; header >> name;) names.push_back(name);
    std::vector<std::map<std::string, long>> rows;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::map<std::string, long> row;
        for (const auto &name : names) {
            std::string value;
            fields >> value;
            row[name] = std::strtol(value.c_str(), nullptr, 10);
        }
        rows.push_back(row);
    }
    return rows;
}

// Message queues that one of the processes last sent to or received from.
inline std::vector<int> message_queues_of(const std::vector<pid_t> &pids) {
    std::vector<int> queues;
    auto listed = [&](const std::map<std::string, long> &row, const char *column) {
        const auto pid = row.find(column);
        return pid != row.end() && std::find(pids.begin(), pids.end(), pid->second) != pids.end();
    };
    for (const auto &row : ipc_rows("msg"))
        if (listed(row, "lspid") || listed(row, "lrpid")) queues.push_back(int(row.at("msqid")));
    return queues;
}

inline bool shared_area_of(pid_t master) {
    const auto rows = ipc_rows("shm");
    return std::any_of(rows.begin(), rows.end(), [&](const auto &row) {
        const auto creator = row.find("cpid");
        return creator != row.end() && creator->second == master;
    });
}

// The open descriptors of a process and what they point at ("socket:[INODE]", a path, ...).
inline std::map<int, std::string> descriptors_of(pid_t pid) {
    std::map<int, std::string> found;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *listing = opendir(dir.c_str());
    if (listing == nullptr) return found;
    while (const dirent *entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        char target[4096];
        const ssize_t length =
            readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length > 0) found[std::atoi(entry->d_name)] = std::string(target, size_t(length));
    }
    closedir(listing);
    return found;
}

// The socket inodes a process holds.
inline std::set<unsigned long> socket_inodes_of(pid_t pid) {
    std::set<unsigned long> inodes;
    for (const auto &[fd, target] : descriptors_of(pid))
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(std::strtoul(target.c_str() + 8, nullptr, 10));
    return inodes;
}

// The names (a path, or "@name" for the abstract space) under which anyone could address one
// of these Unix sockets.
inline std::vector<std::string> unix_socket_names(const std::set<unsigned long> &inodes) {
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line); // Num RefCount Protocol Flags Type St Inode Path
    std::vector<std::string> names;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, path;
        unsigned long inode = 0;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
        if (!path.empty() && inodes.count(inode) != 0) names.push_back(path);
    }
    return names;
}

// The inode of the server's side of a loopback TCP connection, from /proc/net/tcp; 0 when
// not found.
inline unsigned long server_side_inode(uint16_t server_port, int client_fd) {
    sockaddr_in own{};
    socklen_t length = sizeof own;
    if (getsockname(client_fd, reinterpret_cast<sockaddr *>(&own), &length) != 0) return 0;
    char local[8], remote[8];
    std::snprintf(local, sizeof local, ":%04X", server_port);
    std::snprintf(remote, sizeof remote, ":%04X", ntohs(own.sin_port));
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local_address, remote_address, state, queues, timer, retransmits, uid,
            timeout;
        unsigned long inode = 0;
        fields >> slot >> local_address >> remote_address >> state >> queues >> timer >>
            retransmits >> uid >> timeout >> inode;
        auto ends_with = [](const std::string &text, const char *tail) {
            const size_t size = std::char_traits<char>::length(tail);
            return text.size() >= size && text.compare(text.size() - size, size, tail) == 0;
        };
        if (ends_with(local_address, local) && ends_with(remote_address, remote) && inode != 0)
            return inode;
    }
    return 0;
}

// True while pid is a child of parent, a zombie included: false once it has been reaped.
inline bool is_child_of(pid_t parent, pid_t pid) {
    const auto children = child_processes(parent);
    return std::any_of(children.begin(), children.end(),
                       [&](const process_entry &child) { return child.pid == pid; });
}

// How many of pids are still children of parent (zombies included).
inline size_t still_children(pid_t parent, const std::vector<pid_t> &pids) {
    return size_t(std::count_if(pids.begin(), pids.end(),
                                [&](pid_t pid) { return is_child_of(parent, pid); }));
}

// The worker that holds the server's side of the client's connection; -1 when none does.
inline pid_t serving_worker(const test_server &server, int client_fd) {
    const unsigned long inode = server_side_inode(server.port(), client_fd);
    if (inode == 0) return -1;
    for (pid_t worker : server.workers())
        if (socket_inodes_of(worker).count(inode) != 0) return worker;
    return -1;
}

} // namespace tvn_test
