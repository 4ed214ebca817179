// The aim of a transfer's window: twice the measured rate times the shortest round trip.
#include "window_sizer.h"

#include <algorithm>

namespace tvn_client {

window_sizer::window_sizer(std::uint64_t ceiling, std::uint64_t floor, bool near)
        : ceiling_(ceiling), floor_(std::min(floor, ceiling)), target_(near ? floor_ : ceiling) {}

void window_sizer::answered(clock::duration latency, std::uint64_t bytes, clock::time_point now) {
    shortest_ = std::min(shortest_, latency);
    if (!started_) {
        // The first answer opens the first span; its bytes came before it.
        started_ = true;
        span_start_ = now;
        return;
    }
    span_bytes_ += bytes;
    const clock::duration span = now - span_start_;
    if (span < std::max(shortest_, shortest_span)) return;
    const double rate = double(span_bytes_) / std::chrono::duration<double>(span).count();
    const double aim = 2 * rate * std::chrono::duration<double>(shortest_).count();
    target_ = std::clamp(static_cast<std::uint64_t>(aim), floor_, ceiling_);
    span_start_ = now;
    span_bytes_ = 0;
}

} // namespace tvn_client
