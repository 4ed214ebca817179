// What /proc tells about a server on this host: whether its port listens, which processes
// hold its sockets (the master and its workers), and how much memory they cost. Works for a
// server tvnbench started and for one already running, as long as /proc shows its processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tvnbench {

// True when something listens on the TCP port (any address).
bool port_listening(std::uint16_t port);

// The processes that hold the socket listening on the port: the master and its workers.
std::vector<pid_t> listening_processes(std::uint16_t port);
// Of those, the one whose parent is not among them: the master. -1 when none is seen.
pid_t master_process(const std::vector<pid_t> &holders);

// The server-side processes of established connections from 127.0.0.1:client_port to the
// server port, one per client port given, in that order (-1 where none is seen).
std::vector<pid_t> serving_processes(std::uint16_t server_port,
                                     const std::vector<std::uint16_t> &client_ports);

// Proportional set size from /proc/PID/smaps_rollup, in KiB.
std::optional<long> pss_kib(pid_t pid);

// CPU time (user and system) the process has used so far, in seconds; empty when unreadable.
std::optional<double> cpu_seconds_of(pid_t pid);

bool process_alive(pid_t pid); // exists and is not a zombie
bool catches_signal(pid_t pid, int signal_number);

// The local port of a connected socket.
std::uint16_t local_port(int fd);

} // namespace tvnbench
