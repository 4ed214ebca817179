// One direction of the delay relay: bytes go in as they arrive, each read stamped with its
// arrival, and come out no sooner than arrival + delay, in order. The bytes held are bounded,
// so a receiver that stops reading stops the sender too, as a full link would.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tvnbench {

using relay_clock = std::chrono::steady_clock;

// Spare chunk buffers shared by the lines of one relay, so that a steady stream reuses the
// same few buffers instead of allocating one per read.
class chunk_pool {
public:
    chunk_pool(std::size_t chunk_size, std::size_t spares_kept);
    std::unique_ptr<std::uint8_t[]> take();
    void give(std::unique_ptr<std::uint8_t[]> buffer);
    std::size_t chunk_size() const { return chunk_size_; }

private:
    std::size_t chunk_size_;
    std::size_t spares_kept_;
    std::vector<std::unique_ptr<std::uint8_t[]>> spares_;
};

class delay_line {
public:
    // Reads that come within this time of a chunk's first byte share its chunk and its release:
    // a stream of small reads then costs one chunk, and is early by at most this much.
    static constexpr auto coalescing = std::chrono::microseconds(50);

    // `limit` bounds the bytes held, counted in whole chunks (what they cost in memory).
    delay_line(relay_clock::duration delay, std::size_t limit, chunk_pool &pool);
    delay_line(const delay_line &) = delete;
    delay_line &operator=(const delay_line &) = delete;

    // Where the next read may put bytes that arrive at `now`; empty when the line is full.
    std::span<std::uint8_t> space(relay_clock::time_point now);
    // `count` bytes were put there (0: nothing came).
    void arrived(std::size_t count, relay_clock::time_point now);
    // The source ended at `now`; the end, too, comes out after the delay.
    void end(relay_clock::time_point now);

    // The bytes at the head whose time has come; empty when none.
    std::span<const std::uint8_t> due(relay_clock::time_point now) const;
    // `count` of them went out.
    void sent(std::size_t count);
    // True when every byte went out and the end's time has come.
    bool finished(relay_clock::time_point now) const;
    // When something next comes out (a chunk or the end); empty when nothing is held.
    std::optional<relay_clock::time_point> next_release() const;

    bool full() const;
    bool ended() const { return end_.has_value(); }
    std::size_t held() const { return chunks_.size() * pool_.chunk_size(); }

private:
    struct chunk {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t begin = 0;
        std::size_t end = 0;
        relay_clock::time_point arrival;
    };

    relay_clock::duration delay_;
    std::size_t limit_;
    chunk_pool &pool_;
    std::deque<chunk> chunks_;
    std::unique_ptr<std::uint8_t[]> fresh_; // handed out by space(), not yet holding bytes
    bool filling_tail_ = false;             // space() handed out the rest of the last chunk
    std::optional<relay_clock::time_point> end_;
};

} // namespace tvnbench
