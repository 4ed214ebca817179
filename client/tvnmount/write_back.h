// Small writes gathered into one range that leaves as a single WRITE: programs write in
// pieces of a few kilobytes, and a round trip for each would bound them by the latency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tvnmount {

class write_back {
public:
    // capacity 0 gathers nothing: every absorb is refused.
    explicit write_back(std::size_t capacity) : capacity_(capacity) {}

    bool empty() const { return bytes_.empty(); }
    std::uint64_t start() const { return start_; }
    std::uint64_t end() const { return start_ + bytes_.size(); }
    std::span<const std::uint8_t> data() const { return bytes_; }
    bool full() const { return !bytes_.empty() && bytes_.size() >= capacity_; }

    // Takes the bytes when they begin inside the pending range or right after it and the
    // range stays within the capacity; false otherwise (write the pending range out first).
    // An empty range takes any bytes that fit.
    bool absorb(std::uint64_t offset, std::span<const std::uint8_t> data);
    // Once written out; the memory is kept for the next range.
    void clear() { bytes_.clear(); }
    // When the file closes.
    void release();

private:
    std::size_t capacity_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

} // namespace tvnmount
