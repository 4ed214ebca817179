// Request packets: the raw builder and the per-method helpers.
#include "tolvane/packet.h"

#include <algorithm>

#include "tolvane/byte_order.h"

namespace tvn_client {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

// The block of every method that has one begins with the options word.
packet_builder with_options(std::uint8_t method, std::uint32_t options) {
    packet_builder packet(method);
    packet.put_u32(options);
    return packet;
}

// CHANGEPWD password fields keep room for their NUL.
constexpr std::size_t changepwd_max_text = TVN_CHANGEPWD_FIELD_LEN - 1;

} // namespace

packet_builder &packet_builder::magic(std::string_view text) {
    for (std::size_t i = 0; i < TVN_MAGIC_LEN; ++i)
        magic_[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
    return *this;
}

packet_builder &packet_builder::put_u16(std::uint16_t value) {
    params_.resize(params_.size() + 2);
    tvn_wire::put_le16(&params_[params_.size() - 2], value);
    return *this;
}

packet_builder &packet_builder::put_u32(std::uint32_t value) {
    params_.resize(params_.size() + 4);
    tvn_wire::put_le32(&params_[params_.size() - 4], value);
    return *this;
}

packet_builder &packet_builder::put_bytes(std::span<const std::uint8_t> data) {
    params_.insert(params_.end(), data.begin(), data.end());
    return *this;
}

packet_builder &packet_builder::put_text(std::string_view text, bool terminate) {
    put_bytes(as_bytes(text));
    if (terminate) params_.push_back(0);
    return *this;
}

packet_builder &packet_builder::put_field(std::string_view text, std::size_t width) {
    const std::size_t used = std::min(text.size(), width);
    put_bytes(as_bytes(text.substr(0, used)));
    params_.insert(params_.end(), width - used, 0);
    return *this;
}

packet_builder &packet_builder::append_body(std::span<const std::uint8_t> data) {
    body_.insert(body_.end(), data.begin(), data.end());
    return *this;
}

packet_builder &packet_builder::append_body(std::string_view text) {
    return append_body(as_bytes(text));
}

bytes packet_builder::build() const {
    bytes out;
    build_into(out);
    return out;
}

void packet_builder::build_into(bytes &out) const {
    out.resize(TVN_FIXED_HEADER + params_.size() + body_.size());
    std::copy(magic_.begin(), magic_.end(), out.begin() + TVN_OFF_MAGIC);
    out[TVN_OFF_MAJOR] = major_;
    out[TVN_OFF_MINOR] = minor_;
    out[TVN_OFF_METHOD] = method_;
    out[TVN_OFF_STATUS] = status_;
    const auto honest_header = static_cast<std::uint32_t>(TVN_FIXED_HEADER + params_.size());
    tvn_wire::put_le32(&out[TVN_OFF_HEADER_LENGTH], header_length_.value_or(honest_header));
    tvn_wire::put_le32(&out[TVN_OFF_BODY_LENGTH],
                       body_length_.value_or(static_cast<std::uint32_t>(body_.size())));
    auto tail = std::copy(params_.begin(), params_.end(), out.begin() + TVN_FIXED_HEADER);
    std::copy(body_.begin(), body_.end(), tail);
}

packet_builder connect_request(std::string_view login, std::string_view password,
                               std::uint32_t options, std::uint16_t client_major,
                               std::uint16_t client_minor) {
    packet_builder packet = with_options(CONNECT, options);
    packet.put_u16(client_major).put_u16(client_minor);
    packet.put_field(password, TVN_CONNECT_PASSWORD_LEN).put_text(login);
    return packet;
}

packet_builder changepwd_request(std::string_view login, std::string_view current_password,
                                 std::string_view new_password, bool owner) {
    packet_builder packet = with_options(CHANGEPWD, owner ? 1u : 0u);
    packet.put_field(current_password.substr(0, changepwd_max_text), TVN_CHANGEPWD_FIELD_LEN);
    packet.put_field(new_password.substr(0, changepwd_max_text), TVN_CHANGEPWD_FIELD_LEN);
    packet.put_text(login);
    return packet;
}

packet_builder path_request(std::uint8_t method, std::string_view path, std::uint32_t options) {
    packet_builder packet = with_options(method, options);
    packet.put_text(path);
    return packet;
}

packet_builder getdir_request(std::string_view path) { return path_request(GETDIR, path); }
packet_builder open_request(std::string_view path, std::uint32_t mode) {
    return path_request(OPEN, path, mode);
}
packet_builder delete_request(std::string_view path) { return path_request(DELETE, path); }
packet_builder mkdir_request(std::string_view path) { return path_request(MKDIR, path); }

packet_builder rename_request(std::string_view old_path, std::string_view new_path) {
    packet_builder packet = with_options(RENAME, 0);
    packet.put_text(old_path).put_text(new_path);
    return packet;
}

packet_builder settime_request(std::string_view path, std::uint32_t access_time,
                               std::uint32_t modification_time, std::uint32_t options) {
    packet_builder packet = with_options(SETTIME, options);
    packet.put_u32(access_time).put_u32(modification_time).put_text(path);
    return packet;
}

packet_builder read_request(std::uint32_t handle, std::int32_t position, std::int32_t length) {
    packet_builder packet = with_options(READ, 0);
    packet.put_u32(handle).put_i32(position).put_i32(length);
    return packet;
}

packet_builder write_request(std::uint32_t handle, std::int32_t position,
                             std::span<const std::uint8_t> data) {
    packet_builder packet = with_options(WRITE, 0);
    packet.put_u32(handle).put_i32(position).put_i32(static_cast<std::int32_t>(data.size()));
    packet.append_body(data);
    return packet;
}

packet_builder close_request(std::uint32_t handle) {
    packet_builder packet = with_options(CLOSE, 0);
    packet.put_u32(handle);
    return packet;
}

packet_builder copyfile_request(std::uint32_t handle, std::int32_t position, std::int32_t length,
                                std::string_view source_path) {
    packet_builder packet = with_options(COPYFILE, 0);
    packet.put_u32(handle).put_i32(position).put_i32(length);
    packet.put_field({}, TVN_COPY_RESERVED_LEN).put_text(source_path);
    return packet;
}

packet_builder keepalive_request() { return packet_builder(KEEPALIVE); }
packet_builder disconnect_request() { return packet_builder(DISCONNECT); }

} // namespace tvn_client
