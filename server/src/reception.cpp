// Request reception: every byte from the network passes these checks before any handler runs.
#include "reception.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "answer.h"
#include "config.h"
#include "connection.h"
#include "pool.h"
#include "process.h"

namespace {

constexpr int TICK_MS = 2000;
constexpr int TICK_SECONDS = 2;

// The parameter block of the request being checked: every read is bounded by its length.
struct param_block {
    const uint8_t *data;
    uint32_t length;
    uint32_t u32(uint32_t offset) const { return get_u32(data + offset); }
    int32_t i32(uint32_t offset) const { return int32_t(get_u32(data + offset)); }
    uint16_t u16(uint32_t offset) const { return get_u16(data + offset); }
    // The text at offset: up to its first NUL, at most max bytes, never past the block's end.
    std::string_view text(uint32_t offset, uint32_t max = UINT32_MAX) const {
        if (offset >= length) return {};
        const uint32_t room = std::min(length - offset, max);
        const auto *start = reinterpret_cast<const char *>(data + offset);
        const void *nul = std::memchr(start, 0, room);
        return {start, nul ? size_t(static_cast<const char *>(nul) - start) : room};
    }
};

char *copy_text(tvn_pool *pool, std::string_view text) {
    auto *copy = static_cast<char *>(tvn_malloc(pool, uint32_t(text.size() + 1)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

tvn_pool *request_pool(tvn_connection *c) { return c->request->mpool->request_pool; }
tvn_pool *connection_pool(tvn_connection *c) { return c->request->mpool->connection_pool; }

// A failed allocation closes the connection.
uint8_t out_of_memory(tvn_connection *connection) {
    connection->request->disconnect = 1;
    return BAD_REQUEST;
}

uint8_t parse_path_params(tvn_connection *connection, const param_block &block) {
    if (block.length <= TVN_PATH_OFF_PATH) return BAD_REQUEST;
    connection->options = block.u32(TVN_PATH_OFF_OPTIONS);
    connection->path1 = copy_text(request_pool(connection), block.text(TVN_PATH_OFF_PATH));
    return connection->path1 != nullptr ? 0 : out_of_memory(connection);
}

uint8_t parse_rename_params(tvn_connection *connection, const param_block &block) {
    if (block.length <= TVN_PATH_OFF_PATH) return BAD_REQUEST;
    connection->options = block.u32(TVN_PATH_OFF_OPTIONS);
    const std::string_view old_path = block.text(TVN_PATH_OFF_PATH);
    const uint32_t new_offset = TVN_PATH_OFF_PATH + uint32_t(old_path.size()) + 1;
    if (new_offset > block.length) return BAD_REQUEST; // no NUL inside the block
    const std::string_view new_path = block.text(new_offset);
    if (new_path.empty()) return BAD_REQUEST;
    connection->path1 = copy_text(request_pool(connection), old_path);
    connection->path2 = copy_text(request_pool(connection), new_path);
    if (connection->path1 == nullptr || connection->path2 == nullptr) return out_of_memory(connection);
    return 0;
}

uint8_t parse_transfer_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_RW_HEADER - TVN_FIXED_HEADER) return BAD_REQUEST;
    const int32_t length = block.i32(TVN_RW_OFF_LENGTH);
    if (length < 0 || length > TVN_MAX_TRANSFER) return BAD_REQUEST;
    connection->options = block.u32(TVN_RW_OFF_OPTIONS);
    connection->handle = block.u32(TVN_RW_OFF_HANDLE);
    connection->position = block.i32(TVN_RW_OFF_POSITION);
    connection->length = length;
    return 0;
}

uint8_t parse_write_params(tvn_connection *connection, const param_block &block) {
    // The data begin right after the 16-byte block; a longer block would overlap them.
    if (connection->header_length != TVN_RW_HEADER) return BAD_REQUEST;
    if (uint8_t status = parse_transfer_params(connection, block)) return status;
    if (uint32_t(connection->length) > connection->body_length) return BAD_REQUEST;
    connection->write_data = block.data + block.length;
    return 0;
}

uint8_t parse_close_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_CLOSE_MIN_HEADER - TVN_FIXED_HEADER) return BAD_REQUEST;
    connection->options = block.u32(TVN_PATH_OFF_OPTIONS);
    connection->handle = block.u32(TVN_CLOSE_OFF_HANDLE);
    return 0;
}

uint8_t parse_copyfile_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_COPY_OFF_PATH) return BAD_REQUEST;
    const int32_t length = block.i32(TVN_COPY_OFF_LENGTH);
    if (length < 0 || length > TVN_MAX_TRANSFER) return BAD_REQUEST;
    connection->options = block.u32(TVN_PATH_OFF_OPTIONS);
    connection->handle = block.u32(TVN_COPY_OFF_HANDLE);
    connection->position = block.i32(TVN_COPY_OFF_POSITION);
    connection->length = length;
    std::memcpy(connection->copy_reserved, block.data + TVN_COPY_OFF_RESERVED, TVN_COPY_RESERVED_LEN);
    connection->source_path = copy_text(request_pool(connection), block.text(TVN_COPY_OFF_PATH));
    return connection->source_path != nullptr ? 0 : out_of_memory(connection);
}

// Splits the login at its last at sign: user before it, domain after it; without one the user
// is "anonymous" and the whole login is the domain.
uint8_t parse_login(tvn_connection *connection, const param_block &block, uint32_t offset) {
    if (block.length <= offset) return BAD_REQUEST;
    const uint8_t first = block.data[offset];
    if (first == '\0' || first == '@') {
        connection->request->disconnect = 1;
        return WRONG_AUTH;
    }
    const std::string_view login = block.text(offset);
    tvn_pool *pool = connection_pool(connection);
    connection->login = copy_text(pool, login);
    const size_t at = login.rfind('@');
    if (at == std::string_view::npos) {
        connection->user = copy_text(pool, "anonymous");
        connection->domain = copy_text(pool, login);
    } else {
        connection->user = copy_text(pool, login.substr(0, at));
        connection->domain = copy_text(pool, login.substr(at + 1));
    }
    if (!connection->login || !connection->user || !connection->domain) return out_of_memory(connection);
    return 0;
}

uint8_t parse_connect_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_CONNECT_OFF_LOGIN) return BAD_REQUEST;
    connection->options = block.u32(TVN_CONNECT_OFF_OPTIONS);
    connection->client_major_version = block.u16(TVN_CONNECT_OFF_CLIENT_MAJOR);
    connection->client_minor_version = block.u16(TVN_CONNECT_OFF_CLIENT_MINOR);
    if (uint8_t status = parse_login(connection, block, TVN_CONNECT_OFF_LOGIN)) return status;
    connection->password = copy_text(connection_pool(connection),
                                     block.text(TVN_CONNECT_OFF_PASSWORD, TVN_CONNECT_PASSWORD_LEN));
    return connection->password != nullptr ? 0 : out_of_memory(connection);
}

uint8_t parse_changepwd_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_CHANGEPWD_OFF_LOGIN) return BAD_REQUEST;
    connection->options = block.u32(TVN_CHANGEPWD_OFF_OPTIONS);
    if (uint8_t status = parse_login(connection, block, TVN_CHANGEPWD_OFF_LOGIN)) return status;
    tvn_pool *pool = connection_pool(connection);
    connection->password =
        copy_text(pool, block.text(TVN_CHANGEPWD_OFF_CURRENT, TVN_CHANGEPWD_MAX_PASSWORD));
    connection->new_password =
        copy_text(pool, block.text(TVN_CHANGEPWD_OFF_NEW, TVN_CHANGEPWD_MAX_PASSWORD));
    if (!connection->password || !connection->new_password) return out_of_memory(connection);
    return 0;
}

uint8_t check_header(tvn_connection *connection, const uint8_t *header) {
    tvn_request *request = connection->request;
    if (std::memcmp(header + TVN_OFF_MAGIC, TVN_MAGIC, TVN_MAGIC_LEN) != 0) {
        request->disconnect = 1;
        return BAD_REQUEST;
    }
    std::memcpy(connection->magic, header + TVN_OFF_MAGIC, TVN_MAGIC_LEN);
    const uint8_t method = header[TVN_OFF_METHOD];
    if (method < CONNECT || method > TVN_LAST_METHOD) return BAD_REQUEST;
    connection->method = method;
    request->method = method;
    const uint32_t body_length = get_u32(header + TVN_OFF_BODY_LENGTH);
    if (method == WRITE) {
        if (body_length > uint32_t(TVN_MAX_TRANSFER)) {
            request->log_message = copy_text(request_pool(connection), "Body too long for write method");
            return BAD_REQUEST;
        }
        connection->body_length = body_length;
    } else {
        if (body_length != 0) return BAD_REQUEST;
        connection->body_length = 0;
    }
    const uint32_t header_length = get_u32(header + TVN_OFF_HEADER_LENGTH);
    if (header_length > TVN_MAX_HEADER_LENGTH || header_length < TVN_FIXED_HEADER) {
        request->disconnect = 1;
        return BAD_REQUEST;
    }
    connection->header_length = header_length;
    if (header[TVN_OFF_MAJOR] != TVN_PROTOCOL_MAJOR || header[TVN_OFF_MINOR] != TVN_PROTOCOL_MINOR) {
        request->disconnect = 1;
        return CLIENT_VERSION_NOT_SUPP;
    }
    return 0;
}

uint8_t check_parameters(tvn_connection *connection, const param_block &block) {
    switch (connection->method) {
    case CONNECT: return parse_connect_params(connection, block);
    case GETDIR:
    case OPEN:
    case DELETE:
    case MKDIR: return parse_path_params(connection, block);
    case RENAME: return parse_rename_params(connection, block);
    case COPYFILE: return parse_copyfile_params(connection, block);
    case CHANGEPWD: return parse_changepwd_params(connection, block);
    case READ: return parse_transfer_params(connection, block);
    case WRITE: return parse_write_params(connection, block);
    case CLOSE: return parse_close_params(connection, block);
    case KEEPALIVE: return 0;
    default: return BAD_REQUEST; // DISCONNECT and the unassigned codes end the connection here
    }
}

void note_refusal(tvn_connection *connection, const char *text) {
    if (connection->request->log_message == nullptr) append_log_message(connection, text);
    connection->request->disconnect = 1;
}

}  // namespace

uint8_t check_request(tvn_connection *connection, tvn_packet *packet) {
    if (packet->rest == nullptr) return check_header(connection, packet->header);
    const param_block block{packet->rest, connection->header_length - TVN_FIXED_HEADER};
    const uint8_t status = check_parameters(connection, block);
    packet->rest = nullptr;
    return status;
}

int receive_bytes(tvn_connection *connection, uint8_t *buffer, uint32_t count) {
    tvn_request *request = connection->request;
    const tvn_server_conf *conf = connection->server_conf;
    uint32_t waited = 0;
    uint32_t received = 0;
    while (received < count) {
        if (!os_get_server_status()) return RECEIVE_TIMED_OUT;
        pollfd watched{request->connection_id, POLLIN, 0};
        const int ready = poll(&watched, 1, TICK_MS);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return RECEIVE_WAIT_FAILED;
        }
        if (ready == 0) {
            // Negative time-outs compare as very large: they act as no limit at all.
            if (request->disconnect) return RECEIVE_TIMED_OUT;
            if (conf->keepalive_timeout != 0) {
                waited += TICK_SECONDS;
                if (waited >= uint32_t(conf->keepalive_timeout)) return RECEIVE_TIMED_OUT;
            }
            if (conf->idle_timeout != 0) {
                ++connection->idle_ticks;
                if (uint32_t(connection->idle_ticks) > uint32_t(conf->idle_timeout) / 2)
                    return RECEIVE_TIMED_OUT;
            }
            continue;
        }
        const ssize_t got = recv(request->connection_id, buffer + received, count - received, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return RECEIVE_FAILED;
        }
        if (got == 0) return RECEIVE_PEER_CLOSED;
        received += uint32_t(got);
    }
    return 0;
}

int receive_request(tvn_connection *connection, tvn_packet *packet) {
    tvn_request *request = connection->request;
    packet->rest = nullptr;
    // The texts of the previous request lived in the request pool, which is cleared by now:
    // no handler may ever see them again.
    connection->path1 = connection->path2 = connection->source_path = nullptr;
    connection->write_data = nullptr;
    if (receive_bytes(connection, packet->header, TVN_FIXED_HEADER) != 0) {
        request->disconnect = 1;
        return -1;
    }
    if (check_request(connection, packet) != 0) {
        note_refusal(connection, " Bad Header packet");
        return -1;
    }
    const uint32_t rest_length = connection->header_length - TVN_FIXED_HEADER + connection->body_length;
    // A block of the request pool even when empty, so that the parameter phase runs.
    auto *rest = static_cast<uint8_t *>(tvn_malloc(request_pool(connection), rest_length + 1));
    if (rest == nullptr || receive_bytes(connection, rest, rest_length) != 0) {
        request->disconnect = 1;
        return -1;
    }
    packet->rest = rest;
    if (check_request(connection, packet) != 0) {
        note_refusal(connection, " Bad Body packet");
        return -1;
    }
    return 0;
}
