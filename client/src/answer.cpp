// Accessors of a received answer; every read is checked against the bytes received.
#include "tolvane/answer.h"

#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"

namespace tvn_client {

std::uint8_t answer::major_version() const {
    return header_.size() >= TVN_FIXED_HEADER ? header_[TVN_OFF_MAJOR] : 0;
}

std::uint8_t answer::minor_version() const {
    return header_.size() >= TVN_FIXED_HEADER ? header_[TVN_OFF_MINOR] : 0;
}

std::uint8_t answer::method() const {
    return header_.size() >= TVN_FIXED_HEADER ? header_[TVN_OFF_METHOD] : 0;
}

std::uint8_t answer::status() const {
    return header_.size() >= TVN_FIXED_HEADER ? header_[TVN_OFF_STATUS] : 0;
}

std::uint32_t answer::header_length() const {
    return header_.size() >= TVN_FIXED_HEADER ? tvn_wire::get_le32(&header_[TVN_OFF_HEADER_LENGTH])
                                              : 0;
}

std::uint32_t answer::body_length() const {
    return header_.size() >= TVN_FIXED_HEADER ? tvn_wire::get_le32(&header_[TVN_OFF_BODY_LENGTH])
                                              : 0;
}

std::span<const std::uint8_t> answer::params() const {
    if (header_.size() <= TVN_FIXED_HEADER) return {};
    return std::span<const std::uint8_t>(header_).subspan(TVN_FIXED_HEADER);
}

std::optional<std::uint32_t> answer::param_u32(std::size_t offset) const {
    const auto block = params();
    if (offset > block.size() || block.size() - offset < 4) return std::nullopt;
    return tvn_wire::get_le32(&block[offset]);
}

std::optional<std::uint16_t> answer::param_u16(std::size_t offset) const {
    const auto block = params();
    if (offset > block.size() || block.size() - offset < 2) return std::nullopt;
    return tvn_wire::get_le16(&block[offset]);
}

} // namespace tvn_client
