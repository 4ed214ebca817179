// The checks at the end of a soak run: every file where the clients left it, every account
// once, one journal line per answer, the workers back to the idle five, and the master's
// memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <vector>

#include "soak_client.h"
#include "soak_server.h"

namespace tvnsoak {

// Each client's directories hold exactly the files it kept, with their checksums; no part
// file, no temporary file anywhere under the root.
void check_files(soak_context &context, const soak_server &server,
                 const std::vector<client_state> &clients);

// Every account's record stands once; the unchanged ones byte for byte, the changed ones
// with hashes of the passwords their last change set.
void check_database(soak_context &context, const soak_server &server);

// The journal has one line for every answer the clients received, by method, and refuses
// no connection but the bad packets'.
void check_journal(soak_context &context, const soak_server &server);

// Waits until the master has its five idle workers and no more, and no zombie; true when it
// came to that within the time-out.
bool workers_settle(pid_t master, std::chrono::seconds timeout);

// A process's memory from /proc/PID/smaps_rollup, in KiB: its proportional share of every
// page it maps, and the anonymous pages it maps whoever shares them (heap and stacks), which
// the other processes on the host cannot move.
struct memory_use {
    long pss = 0;
    long anonymous = 0;
};

// The medians of a few readings; empty when they cannot be read.
std::optional<memory_use> steady_memory_use(pid_t pid);

} // namespace tvnsoak
