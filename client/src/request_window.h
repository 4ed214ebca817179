// The requests of a transfer that are on their way (or queued to go) and not yet answered,
// oldest first, and the rule that bounds them by the bytes they carry or ask for.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace tvn_client {

class request_window {
public:
    struct request {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
        std::uint64_t number = 0;     // counted from 0 in the order sent
        std::uint64_t stream_end = 0; // the bytes queued on the connection up to its last one
        std::chrono::steady_clock::time_point sent{}; // when its last byte left
    };

    // A limit of 0 lets one request through at a time.
    explicit request_window(std::size_t limit_bytes) : limit_(limit_bytes) {}
    // A new limit for the requests to come; those in flight stay.
    void set_limit(std::size_t limit_bytes) { limit_ = limit_bytes; }

    // Whether a request of `length` bytes may go now: it fits beside those in flight, or none
    // is in flight (a window smaller than one request still lets one through).
    bool has_room(std::uint32_t length) const {
        return requests_.empty() || bytes_ + length <= limit_;
    }
    void add(std::uint64_t offset, std::uint32_t length, std::uint64_t stream_end = 0);
    // `bytes_sent` of the connection's queue have left by `now`: stamps the requests they end.
    void mark_sent(std::uint64_t bytes_sent, std::chrono::steady_clock::time_point now);
    // The oldest request, whose answer comes next; only when not empty().
    const request &oldest() const { return requests_.front(); }
    // Forgets the oldest request, now answered, and returns it.
    request answered();

    bool empty() const { return requests_.empty(); }
    std::size_t count() const { return requests_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t added() const { return added_; }
    std::size_t peak_count() const { return peak_count_; }
    std::uint64_t peak_bytes() const { return peak_bytes_; }

private:
    std::size_t limit_;
    std::deque<request> requests_;
    std::size_t unsent_ = 0; // requests_[unsent_] is the oldest not yet stamped sent
    std::uint64_t bytes_ = 0;
    std::uint64_t added_ = 0;
    std::size_t peak_count_ = 0;
    std::uint64_t peak_bytes_ = 0;
};

// The bytes each request of a transfer moves: the chunk, or the window when it is smaller;
// never less than one nor more than a request may carry (500000).
std::uint32_t request_size(std::size_t window, std::uint32_t chunk);

} // namespace tvn_client
