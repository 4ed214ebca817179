// Test support: file contents made from a seed, so that any range of a file can be made again
// to check what came back, and a checksum that does not depend on how the bytes were cut.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace tvn_test {

// A 64-bit mixing function (the finaliser of splitmix64): every input bit moves every output
// bit, so neighbouring words of a content never look alike.
inline std::uint64_t mix64(std::uint64_t value) {
    value += 0x9e3779b97f4a7c15ull;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ull;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

// Bytes offset .. offset + out.size() of the content that seed names. Byte p of a content is
// byte p % 8 of the word mix64(seed + p / 8 * constant), so any range is made without the
// bytes before it.
inline void fill_content(std::uint64_t seed, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t position = offset + done;
        const std::uint64_t word = mix64(seed + (position >> 3) * 0xd1b54a32d192ed03ull);
        std::uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(word >> (8 * i));
        const std::size_t skip = std::size_t(position & 7);
        const std::size_t take = std::min<std::size_t>(8 - skip, out.size() - done);
        std::memcpy(out.data() + done, bytes + skip, take);
        done += take;
    }
}

inline std::vector<std::uint8_t> make_content(std::uint64_t seed, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    fill_content(seed, 0, bytes);
    return bytes;
}

// A 64-bit checksum of a byte stream, fed in pieces of any size: the same bytes give the
// same value however they were split, and the length counts.
class content_checksum {
public:
    void update(std::span<const std::uint8_t> bytes) {
        length_ += bytes.size();
        std::size_t at = 0;
        while (pending_size_ != 0 && at < bytes.size()) {
            pending_[pending_size_++] = bytes[at++];
            if (pending_size_ == 8) {
                absorb(load(pending_));
                pending_size_ = 0;
            }
        }
        for (; at + 8 <= bytes.size(); at += 8) absorb(load(bytes.data() + at));
        while (at < bytes.size()) pending_[pending_size_++] = bytes[at++];
    }

    std::uint64_t value() const {
        std::uint64_t state = state_;
        if (pending_size_ != 0) {
            std::uint8_t last[8] = {};
            std::memcpy(last, pending_, pending_size_);
            state = step(state, load(last));
        }
        return mix64(state ^ length_);
    }

    std::uint64_t length() const { return length_; }

private:
    static std::uint64_t load(const std::uint8_t *bytes) {
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i) word = word << 8 | bytes[i];
        return word;
    }
    static std::uint64_t step(std::uint64_t state, std::uint64_t word) {
        state ^= word;
        state *= 0x100000001b3ull;
        return state ^ (state >> 29);
    }
    void absorb(std::uint64_t word) { state_ = step(state_, word); }

    std::uint64_t state_ = 0xcbf29ce484222325ull;
    std::uint64_t length_ = 0;
    std::uint8_t pending_[8] = {};
    std::size_t pending_size_ = 0;
};

// The checksum of the content that seed names, size bytes long.
inline std::uint64_t checksum_of_content(std::uint64_t seed, std::size_t size) {
    content_checksum sum;
    std::vector<std::uint8_t> chunk(std::min<std::size_t>(size, 1 << 20));
    for (std::size_t done = 0; done < size;) {
        const std::size_t take = std::min(chunk.size(), size - done);
        fill_content(seed, done, {chunk.data(), take});
        sum.update({chunk.data(), take});
        done += take;
    }
    return sum.value();
}

} // namespace tvn_test
