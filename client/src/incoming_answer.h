// One answer arriving in pieces, each read straight into place: the 16 fixed bytes, the rest
// of the header, then the body. For callers that read answers while they send requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tvn_client {

class incoming_answer {
public:
    enum class progress { partial, complete, invalid };

    // Starts the next answer, whose body may hold at most `max_body` bytes. Buffers are kept,
    // so answers of the same sizes allocate nothing. A body that fits `body_into` lands there
    // instead, and body() is then a part of it.
    void expect(std::uint32_t max_body, std::span<std::uint8_t> body_into = {});
    // Where the next bytes go: all of them are wanted by the answer.
    std::span<std::uint8_t> room();
    // `count` bytes landed at the start of room(). invalid: a header no server sends (magic,
    // header length) or a body longer than allowed; the stream is then lost.
    progress received(std::size_t count);
    // True once a byte of this answer has come.
    bool started() const { return got_ > 0; }

    // Valid once complete.
    std::uint8_t method() const;
    std::uint8_t status() const;
    // An integer of the parameter block (packet offset - 16); empty when the block is shorter.
    std::optional<std::uint32_t> param_u32(std::size_t offset) const;
    std::span<const std::uint8_t> body() const { return {body_base(), body_size_}; }

private:
    enum class part { fixed, rest, body, done };
    progress next_part();
    std::uint8_t *body_base() { return into_caller_ ? body_into_.data() : body_.data(); }
    const std::uint8_t *body_base() const {
        return into_caller_ ? body_into_.data() : body_.data();
    }

    part part_ = part::done;
    std::uint32_t max_body_ = 0;
    std::vector<std::uint8_t> header_;
    std::vector<std::uint8_t> body_;
    std::span<std::uint8_t> body_into_;
    bool into_caller_ = false; // the body lands in body_into_
    std::size_t body_size_ = 0;
    std::size_t header_size_ = 0; // announced
    std::size_t got_ = 0;         // of this answer, all parts
    std::size_t got_in_part_ = 0;
};

} // namespace tvn_client
