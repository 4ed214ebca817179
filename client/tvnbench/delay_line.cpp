// The delay line's chunks: filled by reads, released whole or in part by writes once their
// time has come.
#include "delay_line.h"

#include <algorithm>

namespace tvnbench {

chunk_pool::chunk_pool(std::size_t chunk_size, std::size_t spares_kept)
        : chunk_size_(chunk_size), spares_kept_(spares_kept) {}

std::unique_ptr<std::uint8_t[]> chunk_pool::take() {
    if (spares_.empty()) return std::make_unique_for_overwrite<std::uint8_t[]>(chunk_size_);
    auto buffer = std::move(spares_.back());
    spares_.pop_back();
    return buffer;
}

void chunk_pool::give(std::unique_ptr<std::uint8_t[]> buffer) {
    if (spares_.size() < spares_kept_) spares_.push_back(std::move(buffer));
}

delay_line::delay_line(relay_clock::duration delay, std::size_t limit, chunk_pool &pool)
        : delay_(delay), limit_(std::max(limit, pool.chunk_size())), pool_(pool) {}

std::span<std::uint8_t> delay_line::space(relay_clock::time_point now) {
    const std::size_t size = pool_.chunk_size();
    filling_tail_ = false;
    if (!chunks_.empty()) {
        chunk &tail = chunks_.back();
        if (tail.end < size && now - tail.arrival < coalescing) {
            filling_tail_ = true;
            return {tail.bytes.get() + tail.end, size - tail.end};
        }
    }
    if (full()) return {};
    if (!fresh_) fresh_ = pool_.take();
    return {fresh_.get(), size};
}

void delay_line::arrived(std::size_t count, relay_clock::time_point now) {
    if (count == 0) {
        // An idle line holds no spare buffer: a relay may carry many idle connections.
        if (fresh_) pool_.give(std::move(fresh_));
        return;
    }
    if (filling_tail_)
        chunks_.back().end += count;
    else
        chunks_.push_back({std::move(fresh_), 0, count, now});
    filling_tail_ = false;
}

void delay_line::end(relay_clock::time_point now) {
    if (fresh_) pool_.give(std::move(fresh_));
    if (!end_) end_ = now;
}

std::span<const std::uint8_t> delay_line::due(relay_clock::time_point now) const {
    if (chunks_.empty()) return {};
    const chunk &head = chunks_.front();
    if (head.arrival + delay_ > now) return {};
    return {head.bytes.get() + head.begin, head.end - head.begin};
}

void delay_line::sent(std::size_t count) {
    chunk &head = chunks_.front();
    head.begin += count;
    if (head.begin < head.end) return;
    pool_.give(std::move(head.bytes));
    chunks_.pop_front();
}

bool delay_line::finished(relay_clock::time_point now) const {
    return chunks_.empty() && end_ && *end_ + delay_ <= now;
}

std::optional<relay_clock::time_point> delay_line::next_release() const {
    if (!chunks_.empty()) return chunks_.front().arrival + delay_;
    if (end_) return *end_ + delay_;
    return std::nullopt;
}

bool delay_line::full() const { return held() + pool_.chunk_size() > limit_; }

} // namespace tvnbench
