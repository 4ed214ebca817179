// The window of requests in flight.
#include "request_window.h"

#include <algorithm>

#include "tolvane/protocol.h"

namespace tvn_client {

void request_window::add(std::uint64_t offset, std::uint32_t length, std::uint64_t stream_end) {
    requests_.push_back({offset, length, added_++, stream_end, {}});
    bytes_ += length;
    peak_count_ = std::max(peak_count_, requests_.size());
    peak_bytes_ = std::max(peak_bytes_, bytes_);
}

void request_window::mark_sent(std::uint64_t bytes_sent,
                               std::chrono::steady_clock::time_point now) {
    for (; unsent_ < requests_.size() && requests_[unsent_].stream_end <= bytes_sent; ++unsent_)
        requests_[unsent_].sent = now;
}

request_window::request request_window::answered() {
    const request oldest = requests_.front();
    requests_.pop_front();
    if (unsent_ > 0) --unsent_;
    bytes_ -= oldest.length;
    return oldest;
}

std::uint32_t request_size(std::size_t window, std::uint32_t chunk) {
    const std::size_t size = std::min<std::size_t>({chunk, window, TVN_MAX_TRANSFER});
    return static_cast<std::uint32_t>(std::max<std::size_t>(size, 1));
}

} // namespace tvn_client
