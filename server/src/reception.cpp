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
#include "clock.h"
#include "process.h"

namespace {

constexpr int TICK_MS = 2000;
constexpr int TICK_SECONDS = 2;
// A packet's time when ConnectionKeepaliveTimeout sets no limit on silences.
constexpr int32_t DEFAULT_PACKET_SECONDS = 120;

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
    if (!text.empty()) std::memcpy(copy, text.data(), text.size()); // an empty view may have no data
    copy[text.size()] = '\0';
    return copy;
}

tvn_pool *request_pool(tvn_connection *c) { return c->request->mpool->request_pool; }
// Where the texts of a login go: the connection pool, since they outlive the request; but a
// CONNECT on an open session is refused and must not take a block the connection keeps (a
// CHANGEPWD ends the connection, and its login stands in the request until the final line).
tvn_pool *login_pool(tvn_connection *c) {
    const bool refused_connect = c->method == CONNECT && c->request->username != nullptr;
    return refused_connect ? request_pool(c) : c->request->mpool->connection_pool;
}

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
    tvn_pool *pool = login_pool(connection);
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
    connection->password = copy_text(login_pool(connection),
                                     block.text(TVN_CONNECT_OFF_PASSWORD, TVN_CONNECT_PASSWORD_LEN));
    return connection->password != nullptr ? 0 : out_of_memory(connection);
}

uint8_t parse_changepwd_params(tvn_connection *connection, const param_block &block) {
    if (block.length < TVN_CHANGEPWD_OFF_LOGIN) return BAD_REQUEST;
    connection->options = block.u32(TVN_CHANGEPWD_OFF_OPTIONS);
    if (uint8_t status = parse_login(connection, block, TVN_CHANGEPWD_OFF_LOGIN)) return status;
    tvn_pool *pool = login_pool(connection);
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

// Whole seconds a packet may take from its first byte to its last.
int32_t packet_time_limit(const tvn_server_conf *conf) {
    return conf->keepalive_timeout > 0 ? conf->keepalive_timeout : DEFAULT_PACKET_SECONDS;
}

bool session_open(const tvn_connection *connection) {
    return connection->request->username != nullptr;
}

// The earlier of the login deadline (only while no session is open) and the packet's.
int64_t nearest_deadline(const tvn_connection *connection) {
    int64_t nearest = connection->packet_deadline;
    const int64_t login = session_open(connection) ? 0 : connection->login_deadline;
    if (login != 0 && (nearest == 0 || login < nearest)) nearest = login;
    return nearest;
}

int deadline_failure(const tvn_connection *connection, int64_t deadline) {
    return deadline == connection->packet_deadline ? RECEIVE_TOO_SLOW : RECEIVE_NO_LOGIN;
}

// Before a session is open only these requests are read whole: the others are refused
// without reading what they announce.
bool read_before_login(uint8_t method) {
    return method == CONNECT || method == CHANGEPWD || method == KEEPALIVE;
}

// Methods that a parameter phase could accept: refused before login with the refused-login
// answer. DISCONNECT and the unassigned codes are never valid and get no answer.
bool answered_before_login(uint8_t method) {
    return method != DISCONNECT && method != 4 && method != 9 && method != 10;
}

// Ends the connection after a failed receive; the journal's final line says why when a
// deadline passed.
int give_up(tvn_connection *connection, int failure) {
    if (failure == RECEIVE_TOO_SLOW) note_refusal(connection, " Request not received in time");
    else if (failure == RECEIVE_NO_LOGIN) note_refusal(connection, " No login within the grace time");
    connection->request->disconnect = 1;
    return -1;
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
        int wait_ms = TICK_MS;
        const int64_t deadline = nearest_deadline(connection);
        if (deadline != 0) {
            const int64_t left = deadline - monotonic_ms();
            if (left <= 0) return deadline_failure(connection, deadline);
            if (left < wait_ms) wait_ms = int(left);
        }
        pollfd watched{request->connection_id, POLLIN, 0};
        const int ready = poll(&watched, 1, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return RECEIVE_WAIT_FAILED;
        }
        if (ready == 0) {
            if (wait_ms < TICK_MS) continue; // a deadline, not a silence: checked above
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
        // The packet's clock starts with its first byte: a sender may pause, but never
        // stretch one packet past the limit.
        if (connection->packet_deadline == 0)
            connection->packet_deadline = monotonic_ms() + int64_t(packet_time_limit(conf)) * 1000;
        received += uint32_t(got);
    }
    return 0;
}

int receive_request(tvn_connection *connection, tvn_packet *packet) {
    tvn_request *request = connection->request;
    packet->rest = nullptr;
    connection->packet_deadline = 0;
    // The texts of the previous request lived in the request pool, which is cleared by now:
    // no handler may ever see them again.
    connection->path1 = connection->path2 = connection->source_path = nullptr;
    connection->write_data = nullptr;
    if (int failed = receive_bytes(connection, packet->header, TVN_FIXED_HEADER)) {
        return give_up(connection, failed);
    }
    if (check_request(connection, packet) != 0) {
        note_refusal(connection, " Bad Header packet");
        return -1;
    }
    if (!session_open(connection) && !read_before_login(connection->method)) {
        // Refused whatever it carries: its parameters and data are never read.
        if (!answered_before_login(connection->method)) {
            note_refusal(connection, " Bad Body packet");
            return -1;
        }
        return 0;
    }
    const uint32_t rest_length = connection->header_length - TVN_FIXED_HEADER + connection->body_length;
    // A block of the request pool even when empty, so that the parameter phase runs.
    auto *rest = static_cast<uint8_t *>(tvn_malloc(request_pool(connection), rest_length + 1));
    if (rest == nullptr) {
        request->disconnect = 1;
        return -1;
    }
    if (int failed = receive_bytes(connection, rest, rest_length)) return give_up(connection, failed);
    packet->rest = rest;
    if (check_request(connection, packet) != 0) {
        note_refusal(connection, " Bad Body packet");
        return -1;
    }
    return 0;
}
