// One answer from the server, as connection::read_answer fills it. The object keeps its
// buffers between reads, so a caller that reuses it for every READ answer (up to 500000
// bytes of data) allocates only while the answers grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tvn_client {

// Answers whose announced body is larger than this are refused as broken rather than
// allocated: no real answer comes near it, and a corrupt length must not exhaust memory.
inline constexpr std::uint32_t max_answer_body = 64u << 20;

class answer {
public:
    // Header fields; 0 while no answer has been read.
    std::uint8_t major_version() const;
    std::uint8_t minor_version() const;
    // The request's method (a successful CHANGEPWD answers CONNECT).
    std::uint8_t method() const;
    // OK (1) when the request succeeded; otherwise the refusal, one of the tvn_status codes
    // of tolvane/protocol.h (NOT_FOUND, ACCESS_DENIED, DIR_NOT_EMPTY, ...).
    std::uint8_t status() const;
    std::uint32_t header_length() const;
    std::uint32_t body_length() const;

    // The header as received: the 16 fixed bytes and the parameter block.
    std::span<const std::uint8_t> header() const { return header_; }
    // The parameter block alone (packet offsets 16 to header_length).
    std::span<const std::uint8_t> params() const;
    // Integers at an offset inside the parameter block (packet offset - 16); empty when
    // the block does not hold all their bytes.
    std::optional<std::uint32_t> param_u32(std::size_t offset) const;
    std::optional<std::uint16_t> param_u16(std::size_t offset) const;
    // Valid until the next read into this answer.
    std::span<const std::uint8_t> body() const { return {body_.data(), body_size_}; }

private:
    friend class connection;
    void clear() {
        header_.clear();
        body_size_ = 0;
    }

    std::vector<std::uint8_t> header_;
    // Sized to the largest body seen so far; body_size_ says how much of it is this answer's.
    std::vector<std::uint8_t> body_;
    std::size_t body_size_ = 0;
};

} // namespace tvn_client
