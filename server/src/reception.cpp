// Request reception: the socket's bytes under the connection's deadlines, and the two phases
// of checks on them.
#include "reception.h"

#include <cerrno>
#include <cstring>

#include "answer.h"
#include "client_stream.h"
#include "clock.h"
#include "config.h"
#include "connection.h"
#include "pool.h"
#include "process.h"

namespace {

constexpr int TICK_MS = 2000;
constexpr int TICK_SECONDS = 2;
// A packet's time when ConnectionKeepaliveTimeout sets no limit on silences.
constexpr int32_t DEFAULT_PACKET_SECONDS = 120;

// Whole seconds a packet may take from its first byte to its last.
int32_t packet_time_limit(const tvn_server_conf *conf) {
    return conf->keepalive_timeout > 0 ? conf->keepalive_timeout : DEFAULT_PACKET_SECONDS;
}

// The earlier of the login deadline (only while no session is open) and the packet's.
int64_t nearest_deadline(const tvn_connection *connection) {
    int64_t nearest = connection->packet_deadline;
    const int64_t login = connection->session_open ? 0 : connection->login_deadline;
    if (login != 0 && (nearest == 0 || login < nearest)) nearest = login;
    return nearest;
}

// A silent 2-second tick: the keep-alive time-out counts the silence of this call, the idle
// limit every tick of the connection. True when either has run out. Negative time-outs compare
// as very large: they act as no limit at all.
bool silence_ran_out(tvn_connection *connection, uint32_t *waited) {
    const tvn_server_conf *conf = connection->server_conf;
    if (conf->keepalive_timeout != 0) {
        *waited += TICK_SECONDS;
        if (*waited >= uint32_t(conf->keepalive_timeout)) return true;
    }
    if (conf->idle_timeout != 0) {
        ++connection->idle_ticks;
        if (uint32_t(connection->idle_ticks) > uint32_t(conf->idle_timeout) / 2) return true;
    }
    return false;
}

// Before a session is open only these requests are read whole.
bool read_before_login(uint8_t method) {
    return method == CONNECT || method == CHANGEPWD || method == KEEPALIVE;
}

// Methods that a parameter phase could accept: refused before login with the refused-login
// answer. DISCONNECT and the unassigned codes are never valid and get no answer.
bool answered_before_login(uint8_t method) {
    return method != DISCONNECT && method != 4 && method != 10;
}

// Ends the connection: the reason goes to the log message unless one is there already (a
// WRITE announcing too much replaces any).
reception refuse(tvn_connection *connection, const char *reason, bool replace = false) {
    tvn_request *request = connection->request;
    if (reason != nullptr && (replace || request->log_message == nullptr)) {
        request->log_message = nullptr;
        append_log_message(connection, reason);
    }
    request->disconnect = 1;
    return reception::closed;
}

reception give_up(tvn_connection *connection, receive_failure failure) {
    if (failure == receive_failure::too_slow)
        return refuse(connection, " Request not received in time");
    if (failure == receive_failure::no_login)
        return refuse(connection, " No login within the grace time");
    return refuse(connection, nullptr);
}

reception refuse_packet(tvn_connection *connection, packet_fault fault) {
    return refuse(connection, packet_fault_message(fault), fault == packet_fault::write_too_long);
}

} // namespace

packet_fault check_request(tvn_connection *connection, tvn_packet *packet) {
    if (packet->rest == nullptr) return check_header(packet->header, &connection->parsed);
    const packet_fault fault =
        check_parameters(&connection->parsed, connection->request, packet->rest);
    packet->rest = nullptr;
    return fault;
}

receive_failure receive_bytes(tvn_connection *connection, uint8_t *buffer, uint32_t count) {
    uint32_t waited = 0;
    uint32_t received = 0;
    while (received < count) {
        if (!os_get_server_status()) return receive_failure::timed_out;
        int wait_ms = TICK_MS;
        const int64_t deadline = nearest_deadline(connection);
        if (deadline != 0) {
            const int64_t left = deadline - monotonic_ms();
            if (left <= 0)
                return deadline == connection->packet_deadline ? receive_failure::too_slow
                                                               : receive_failure::no_login;
            if (left < wait_ms) wait_ms = int(left);
        }
        const readiness ready = wait_readable(connection, wait_ms);
        if (ready == readiness::failed) return receive_failure::wait_failed;
        if (ready == readiness::nothing_yet) {
            if (wait_ms < TICK_MS) continue; // a deadline, not a silence: checked above
            if (connection->request->disconnect) return receive_failure::timed_out;
            if (silence_ran_out(connection, &waited)) return receive_failure::timed_out;
            continue;
        }
        const ssize_t got = receive_some(connection, buffer + received, count - received);
        if (got < 0 && errno == EAGAIN) continue; // an encrypted record not yet whole
        if (got < 0) return receive_failure::read_failed;
        if (got == 0) return receive_failure::peer_closed;
        // The packet's clock starts with its first byte: a sender may pause, but never
        // stretch one packet past the limit.
        if (connection->packet_deadline == 0)
            connection->packet_deadline =
                monotonic_ms() + int64_t(packet_time_limit(connection->server_conf)) * 1000;
        received += uint32_t(got);
    }
    return receive_failure::none;
}

reception receive_request(tvn_connection *connection) {
    tvn_packet &packet = connection->packet;
    packet.rest = nullptr;
    connection->packet_deadline = 0;
    if (receive_failure failed = receive_bytes(connection, packet.header, TVN_FIXED_HEADER);
        failed != receive_failure::none)
        return give_up(connection, failed);
    if (packet_fault fault = check_request(connection, &packet); fault != packet_fault::none)
        return refuse_packet(connection, fault);
    const parsed_request &parsed = connection->parsed;
    if (!connection->session_open && !read_before_login(parsed.method)) {
        if (!answered_before_login(parsed.method))
            return refuse_packet(connection, packet_fault::bad_body);
        return reception::ready; // refused on its header; what it announces is never read
    }
    const uint32_t rest_length = parsed.header_length - TVN_FIXED_HEADER + parsed.body_length;
    // One spare byte ends a text that runs to the block's end.
    auto *rest = static_cast<uint8_t *>(
        tvn_malloc(connection->request->mpool->request_pool, rest_length + 1));
    if (rest == nullptr) return refuse(connection, nullptr);
    if (receive_failure failed = receive_bytes(connection, rest, rest_length);
        failed != receive_failure::none)
        return give_up(connection, failed);
    packet.rest = rest;
    if (packet_fault fault = check_request(connection, &packet); fault != packet_fault::none)
        return refuse_packet(connection, fault);
    return reception::ready;
}
