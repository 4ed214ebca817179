// How much a transfer keeps in flight below its window: about twice what the link holds. On a
// distant server the whole window is needed to keep the link busy; on a near one a few requests
// do, and more would only wait in the socket buffers, where megabytes queued on loopback cost
// the server's CPU more than the round trips they save. So the transfer measures the shortest
// time a request took to be answered and the rate at which answers come, and aims at twice
// their product: it grows while answers come back no later than twice the shortest time, and
// shrinks when they queue longer. It starts where the caller says: the whole window, so that
// a distant link loses no round trip to finding out, or the floor for a server known to be
// near.
#pragma once

#include <chrono>
#include <cstdint>

namespace tvn_client {

class window_sizer {
public:
    using clock = std::chrono::steady_clock;

    // Aims between `floor` and `ceiling` bytes (a floor above the ceiling is the ceiling),
    // first at the ceiling, or at the floor when `near`.
    window_sizer(std::uint64_t ceiling, std::uint64_t floor, bool near = false);

    // An answer of `bytes` came at `now`, `latency` after its request had left.
    void answered(clock::duration latency, std::uint64_t bytes, clock::time_point now);
    std::uint64_t target() const { return target_; }
    clock::duration shortest() const { return shortest_; }

    // Rates are measured over at least this long, so that a burst of answers read from the
    // socket at once does not count as the link's speed.
    static constexpr clock::duration shortest_span = std::chrono::milliseconds(2);

private:
    std::uint64_t ceiling_;
    std::uint64_t floor_;
    std::uint64_t target_;
    clock::duration shortest_ = clock::duration::max();
    clock::time_point span_start_{};
    std::uint64_t span_bytes_ = 0;
    bool started_ = false;
};

} // namespace tvn_client
