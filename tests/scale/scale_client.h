// One client of a scale run: a thread that, from its own loopback address and through the
// balancer, logs in as its user (owner or guest), uploads, downloads, lists and deletes in its
// own directory, and changes its user's passwords, checking every answer against the ledger.
#pragma once

#include <chrono>

#include "scale_ledger.h"

namespace tvnscale {

// Runs the client until the deadline, then settles what interruptions left uncertain.
void run_client(scale_context &context, scale_client &client,
                std::chrono::steady_clock::time_point deadline);

// How a request went: its answer was the one wanted, the connection ended before an answer
// (the client tries again), or the answer was wrong (recorded in the context).
enum class step { done, interrupted, wrong };

} // namespace tvnscale
