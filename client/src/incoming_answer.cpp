// Assembling an answer from the pieces the socket gives; every length is checked before a byte
// is placed by it.
#include "incoming_answer.h"

#include <algorithm>

#include "tolvane/answer.h"
#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"

namespace tvn_client {

void incoming_answer::expect(std::uint32_t max_body, std::span<std::uint8_t> body_into) {
    max_body_ = std::min(max_body, max_answer_body);
    body_into_ = body_into;
    into_caller_ = false;
    header_.resize(TVN_FIXED_HEADER);
    header_size_ = TVN_FIXED_HEADER;
    body_size_ = 0;
    got_ = 0;
    got_in_part_ = 0;
    part_ = part::fixed;
}

std::span<std::uint8_t> incoming_answer::room() {
    switch (part_) {
    case part::fixed:
    case part::rest:
        return std::span(header_).subspan(got_in_part_ +
                                          (part_ == part::rest ? TVN_FIXED_HEADER : 0));
    case part::body: return std::span(body_base() + got_in_part_, body_size_ - got_in_part_);
    case part::done: break;
    }
    return {};
}

incoming_answer::progress incoming_answer::received(std::size_t count) {
    got_ += count;
    got_in_part_ += count;
    if (!room().empty()) return progress::partial;
    return next_part();
}

// The part just filled is whole: check what it announces and move on; a part of no bytes is
// skipped at once.
incoming_answer::progress incoming_answer::next_part() {
    got_in_part_ = 0;
    if (part_ == part::fixed) {
        const bool magic_ok = std::equal(header_.begin(), header_.begin() + TVN_MAGIC_LEN,
                                         reinterpret_cast<const std::uint8_t *>(TVN_MAGIC));
        header_size_ = tvn_wire::get_le32(&header_[TVN_OFF_HEADER_LENGTH]);
        const std::uint32_t body_length = tvn_wire::get_le32(&header_[TVN_OFF_BODY_LENGTH]);
        if (!magic_ok || header_size_ < TVN_FIXED_HEADER || header_size_ > TVN_MAX_HEADER_LENGTH ||
            body_length > max_body_)
            return progress::invalid;
        body_size_ = body_length;
        header_.resize(header_size_);
        part_ = part::rest;
        if (header_size_ > TVN_FIXED_HEADER) return progress::partial;
    }
    if (part_ == part::rest) {
        into_caller_ = body_size_ > 0 && body_size_ <= body_into_.size();
        if (!into_caller_ && body_.size() < body_size_) body_.resize(body_size_);
        part_ = part::body;
        if (body_size_ > 0) return progress::partial;
    }
    part_ = part::done;
    return progress::complete;
}

std::uint8_t incoming_answer::method() const { return header_[TVN_OFF_METHOD]; }
std::uint8_t incoming_answer::status() const { return header_[TVN_OFF_STATUS]; }

std::optional<std::uint32_t> incoming_answer::param_u32(std::size_t offset) const {
    const std::size_t at = TVN_FIXED_HEADER + offset;
    if (at > header_.size() || header_.size() - at < 4) return std::nullopt;
    return tvn_wire::get_le32(&header_[at]);
}

} // namespace tvn_client
