// Request checks: every byte from the network passes these before any handler runs.
#include "packet_check.h"

#include <cstring>

#include "tolvane/byte_order.h"
#include "tolvane/module.h"

using tvn_wire::get_le16;
using tvn_wire::get_le32;

namespace {

char anonymous_user[] = "anonymous";

// The parameter block: every read is bounded by its length. The byte right after it is the
// spare byte the caller provides, so a text that runs to the block's end can be terminated.
struct param_block {
    uint8_t *data;
    uint32_t length;
    uint32_t u32(uint32_t offset) const { return get_le32(data + offset); }
    int32_t i32(uint32_t offset) const { return int32_t(get_le32(data + offset)); }
    uint16_t u16(uint32_t offset) const { return get_le16(data + offset); }
    // The text at offset, running to its first NUL or to the block's end, terminated in place.
    char *text_to_end(uint32_t offset) const {
        data[length] = '\0';
        return reinterpret_cast<char *>(data + offset);
    }
    // The text of a field of width bytes at offset: at most max characters, terminated in place
    // inside the field (max < width).
    char *text_in_field(uint32_t offset, uint32_t max) const {
        char *text = reinterpret_cast<char *>(data + offset);
        if (std::memchr(text, '\0', max) == nullptr) text[max] = '\0';
        return text;
    }
};

bool is_valid_method(uint8_t method) { return method >= CONNECT && method <= TVN_LAST_METHOD; }

packet_fault path_params(parsed_request *parsed, tvn_request *request, const param_block &block) {
    if (block.length <= TVN_PATH_OFF_PATH) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_PATH_OFF_OPTIONS);
    request->remote_path1 = block.text_to_end(TVN_PATH_OFF_PATH);
    return packet_fault::none;
}

packet_fault rename_params(parsed_request *parsed, tvn_request *request, const param_block &block) {
    if (block.length <= TVN_PATH_OFF_PATH) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_PATH_OFF_OPTIONS);
    const uint8_t *old_path = block.data + TVN_PATH_OFF_PATH;
    const auto *nul =
        static_cast<const uint8_t *>(std::memchr(old_path, '\0', block.length - TVN_PATH_OFF_PATH));
    if (nul == nullptr) return packet_fault::bad_body; // the old path must end inside the block
    char *new_path = block.text_to_end(uint32_t(nul + 1 - block.data));
    if (new_path[0] == '\0') return packet_fault::bad_body;
    request->remote_path1 = reinterpret_cast<char *>(block.data + TVN_PATH_OFF_PATH);
    request->remote_path2 = new_path;
    return packet_fault::none;
}

packet_fault settime_params(parsed_request *parsed, tvn_request *request,
                            const param_block &block) {
    if (block.length <= TVN_SETTIME_OFF_PATH) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_SETTIME_OFF_OPTIONS);
    parsed->access_time = block.u32(TVN_SETTIME_OFF_ACCESS);
    parsed->modification_time = block.u32(TVN_SETTIME_OFF_MODIFICATION);
    request->remote_path1 = block.text_to_end(TVN_SETTIME_OFF_PATH);
    return packet_fault::none;
}

// READ, WRITE and COPYFILE carry a handle, a position and a length of at most 500000.
packet_fault range_params(parsed_request *parsed, const param_block &block, uint32_t minimum) {
    if (block.length < minimum) return packet_fault::bad_body;
    const int32_t length = block.i32(TVN_RW_OFF_LENGTH);
    if (length < 0 || length > TVN_MAX_TRANSFER) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_RW_OFF_OPTIONS);
    parsed->handle = block.u32(TVN_RW_OFF_HANDLE);
    parsed->position = block.i32(TVN_RW_OFF_POSITION);
    parsed->length = length;
    return packet_fault::none;
}

packet_fault write_params(parsed_request *parsed, const param_block &block) {
    // The data begin right after the 16-byte block; a longer block would overlap them.
    if (parsed->header_length != TVN_RW_HEADER) return packet_fault::bad_body;
    if (packet_fault fault = range_params(parsed, block, TVN_RW_HEADER - TVN_FIXED_HEADER);
        fault != packet_fault::none)
        return fault;
    if (uint32_t(parsed->length) > parsed->body_length) return packet_fault::bad_body;
    parsed->data = block.data + block.length;
    return packet_fault::none;
}

packet_fault close_params(parsed_request *parsed, const param_block &block) {
    if (block.length < TVN_CLOSE_MIN_HEADER - TVN_FIXED_HEADER) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_PATH_OFF_OPTIONS);
    parsed->handle = block.u32(TVN_CLOSE_OFF_HANDLE);
    return packet_fault::none;
}

packet_fault copyfile_params(parsed_request *parsed, tvn_request *request,
                             const param_block &block) {
    if (packet_fault fault = range_params(parsed, block, TVN_COPY_OFF_PATH);
        fault != packet_fault::none)
        return fault;
    request->remote_path2 = block.text_to_end(TVN_COPY_OFF_PATH);
    return packet_fault::none;
}

// The login at offset, split at its last at sign in place: the user before it, the domain after
// it; without one the user is "anonymous" and the whole login is the domain. An empty login, or
// one that begins with the at sign, is refused.
packet_fault login_params(parsed_request *parsed, const param_block &block, uint32_t offset) {
    if (block.length <= offset) return packet_fault::bad_body;
    char *login = block.text_to_end(offset);
    if (login[0] == '\0' || login[0] == '@') return packet_fault::bad_body;
    char *at = std::strrchr(login, '@');
    if (at == nullptr) {
        parsed->login.user = anonymous_user;
        parsed->login.domain = login;
    } else {
        *at = '\0';
        parsed->login.user = login;
        parsed->login.domain = at + 1;
    }
    return packet_fault::none;
}

packet_fault connect_params(parsed_request *parsed, const param_block &block) {
    if (block.length < TVN_CONNECT_OFF_LOGIN) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_CONNECT_OFF_OPTIONS);
    parsed->client_major_version = block.u16(TVN_CONNECT_OFF_CLIENT_MAJOR);
    parsed->client_minor_version = block.u16(TVN_CONNECT_OFF_CLIENT_MINOR);
    if (packet_fault fault = login_params(parsed, block, TVN_CONNECT_OFF_LOGIN);
        fault != packet_fault::none)
        return fault;
    // All 16 bytes may be the password: it is copied out, since the login follows at once.
    const auto *password = block.data + TVN_CONNECT_OFF_PASSWORD;
    const void *nul = std::memchr(password, '\0', TVN_CONNECT_PASSWORD_LEN);
    const size_t length = nul != nullptr ? size_t(static_cast<const uint8_t *>(nul) - password)
                                         : size_t(TVN_CONNECT_PASSWORD_LEN);
    std::memcpy(parsed->connect_password, password, length);
    parsed->connect_password[length] = '\0';
    parsed->login.password = parsed->connect_password;
    return packet_fault::none;
}

packet_fault changepwd_params(parsed_request *parsed, const param_block &block) {
    if (block.length < TVN_CHANGEPWD_OFF_LOGIN) return packet_fault::bad_body;
    parsed->options = block.u32(TVN_CHANGEPWD_OFF_OPTIONS);
    if (packet_fault fault = login_params(parsed, block, TVN_CHANGEPWD_OFF_LOGIN);
        fault != packet_fault::none)
        return fault;
    parsed->login.password =
        block.text_in_field(TVN_CHANGEPWD_OFF_CURRENT, TVN_CHANGEPWD_MAX_PASSWORD);
    parsed->login.new_password =
        block.text_in_field(TVN_CHANGEPWD_OFF_NEW, TVN_CHANGEPWD_MAX_PASSWORD);
    return packet_fault::none;
}

} // namespace

const char *packet_fault_message(packet_fault fault) {
    switch (fault) {
    case packet_fault::bad_header: return " Bad Header packet";
    case packet_fault::write_too_long: return "Body too long for write method";
    case packet_fault::bad_body: return " Bad Body packet";
    case packet_fault::none: break;
    }
    return nullptr;
}

packet_fault check_header(const uint8_t *header, parsed_request *parsed) {
    *parsed = parsed_request{};
    if (std::memcmp(header + TVN_OFF_MAGIC, TVN_MAGIC, TVN_MAGIC_LEN) != 0)
        return packet_fault::bad_header;
    const uint8_t method = header[TVN_OFF_METHOD];
    if (!is_valid_method(method)) return packet_fault::bad_header;
    parsed->method = method;
    const uint32_t body_length = get_le32(header + TVN_OFF_BODY_LENGTH);
    if (method == WRITE) {
        if (body_length > uint32_t(TVN_MAX_TRANSFER)) return packet_fault::write_too_long;
        parsed->body_length = body_length;
    } else if (body_length != 0) {
        return packet_fault::bad_header;
    }
    const uint32_t header_length = get_le32(header + TVN_OFF_HEADER_LENGTH);
    if (header_length > TVN_MAX_HEADER_LENGTH || header_length < TVN_FIXED_HEADER)
        return packet_fault::bad_header;
    parsed->header_length = header_length;
    if (header[TVN_OFF_MAJOR] != TVN_PROTOCOL_MAJOR || header[TVN_OFF_MINOR] != TVN_PROTOCOL_MINOR)
        return packet_fault::bad_header;
    return packet_fault::none;
}

packet_fault check_parameters(parsed_request *parsed, tvn_request *request, uint8_t *rest) {
    const param_block block{rest, parsed->header_length - TVN_FIXED_HEADER};
    switch (parsed->method) {
    case CONNECT: return connect_params(parsed, block);
    case GETDIR:
    case OPEN:
    case DELETE:
    case MKDIR: return path_params(parsed, request, block);
    case RENAME: return rename_params(parsed, request, block);
    case SETTIME: return settime_params(parsed, request, block);
    case COPYFILE: return copyfile_params(parsed, request, block);
    case CHANGEPWD: return changepwd_params(parsed, block);
    case READ: return range_params(parsed, block, TVN_RW_HEADER - TVN_FIXED_HEADER);
    case WRITE: return write_params(parsed, block);
    case CLOSE: return close_params(parsed, block);
    case KEEPALIVE: return packet_fault::none;
    default: return packet_fault::bad_body; // DISCONNECT and the unassigned codes end it here
    }
}
