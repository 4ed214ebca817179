// The client's byte stream over the accepted socket.
#include "client_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "answer.h"
#include "config.h"
#include "connection.h"

namespace {

constexpr int32_t DEFAULT_SEND_STALL_SECONDS = 120;

int socket_of(const tvn_connection *connection) { return connection->request->connection_id; }

} // namespace

void prepare_client_socket(int socket, const tvn_server_conf *conf) {
    const int32_t seconds =
        conf->keepalive_timeout > 0 ? conf->keepalive_timeout : DEFAULT_SEND_STALL_SECONDS;
    const timeval limit{seconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

readiness wait_readable(tvn_connection *connection, int wait_ms) {
    pollfd watched{socket_of(connection), POLLIN, 0};
    const int ready = poll(&watched, 1, wait_ms);
    if (ready > 0) return readiness::readable;
    if (ready == 0 || errno == EINTR) return readiness::nothing_yet;
    return readiness::failed;
}

ssize_t receive_some(tvn_connection *connection, uint8_t *buffer, uint32_t count) {
    for (;;) {
        const ssize_t got = recv(socket_of(connection), buffer, count, 0);
        if (got >= 0 || errno != EINTR) return got;
    }
}

bool send_and_note(tvn_connection *connection, const uint8_t *data, uint32_t length) {
    const int socket = socket_of(connection);
    while (length > 0) {
        const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            const bool stalled = errno == EAGAIN || errno == EWOULDBLOCK;
            append_log_message(connection, " Error sending the answer.");
            if (stalled) append_log_message(connection, " The client read nothing in time.");
            connection->request->disconnect = 1;
            return false;
        }
        data += sent;
        length -= uint32_t(sent);
    }
    return true;
}
