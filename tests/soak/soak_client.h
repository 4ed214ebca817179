// One soak client: a thread with connections of its own that logs in, lists, uploads,
// downloads, copies and deletes in its own directories, changes passwords and sends bad
// packets, checking every answer, until its time is up.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "soak_ledger.h"

namespace tvnsoak {

// A file the client put on the server: what it must hold.
struct stored_file {
    std::string name;
    std::uint64_t seed = 0;
    std::size_t size = 0;
    std::uint64_t checksum = 0;
};

// One of the client's two directories (in /Private and in /Public) and the files it holds.
struct client_area {
    std::string remote_dir; // as the client names it: /Private/c0007
    std::string local_dir;  // on the server's disk
    std::vector<stored_file> files;
};

struct client_state {
    int index = 0;
    const regular_user *user = nullptr;
    client_area areas[2];
    bool directories_made = false;
    bool sends_bad_packets = false;
    unsigned next_name = 0;
};

// The client's state for its index: its user, its directories and whether it is one of the
// few that send bad packets.
client_state plan_client(const soak_context &context, int index);

// Runs the client until the deadline; every wrong answer goes to context.errors.
void run_client(soak_context &context, client_state &state,
                std::chrono::steady_clock::time_point deadline);

} // namespace tvnsoak
