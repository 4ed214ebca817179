// The figures of the test bed: sessions per second (connect, log in, close) and aggregate
// read throughput, through the balancer over three servers, through it over one server, and
// straight to one server without a balancer.
#pragma once

#include <cstdint>
#include <string>

#include "scale_bed.h"

namespace tvnscale {

struct figures {
    double sessions_per_second = 0;
    double read_mb_per_second = 0;
    std::size_t failures = 0; // sessions or reads that did not complete
};

// Measures one way in: `seconds` of sessions from session_clients threads, then `seconds` of
// reads from read_clients threads (each its own bench user and file, in 500000-byte READs).
figures measure(scale_bed &bed, std::uint16_t port, int seconds, int session_clients,
                int read_clients);

} // namespace tvnscale
