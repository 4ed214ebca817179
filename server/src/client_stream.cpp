// The client's byte stream over the accepted socket.
#include "client_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

int32_t send_stall_seconds(const tvn_server_conf *conf) {
    return conf->keepalive_timeout > 0 ? conf->keepalive_timeout : DEFAULT_SEND_STALL_SECONDS;
}

int send_stall_ms(const tvn_server_conf *conf) { return int(send_stall_seconds(conf)) * 1000; }

// A read from the session over the non-blocking socket: the bytes, 0 when the client closed,
// -1 with EAGAIN when a whole record has not come yet (the caller waits and tries again), -1
// otherwise.
ssize_t receive_from_session(SSL *session, uint8_t *buffer, uint32_t count) {
    size_t got = 0;
    if (SSL_read_ex(session, buffer, count, &got) == 1) return ssize_t(got);
    switch (SSL_get_error(session, 0)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    default:
        ERR_clear_error();
        errno = EIO;
        return -1;
    }
}

// A write into the session, waiting for the socket while it is full, but never more than
// stall_ms without progress (then -1 with EAGAIN, as a plain send's time-out).
ssize_t send_to_session(SSL *session, int socket, const uint8_t *data, uint32_t length,
                        int stall_ms) {
    for (;;) {
        size_t sent = 0;
        if (SSL_write_ex(session, data, length, &sent) == 1) return ssize_t(sent);
        const int error = SSL_get_error(session, 0);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            errno = EPIPE;
            return -1;
        }
        pollfd watched{socket, short(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        const int ready = poll(&watched, 1, stall_ms);
        if (ready == 0) {
            errno = EAGAIN;
            return -1;
        }
        if (ready < 0 && errno != EINTR) return -1;
    }
}

// Sends what the session gathered in front of the socket (tls.cpp), with the same patience as
// a write; false when the socket failed or stalled (errno says which).
bool flush_session(SSL *session, int socket, int stall_ms) {
    BIO *gathered = SSL_get_wbio(session);
    for (;;) {
        if (BIO_flush(gathered) > 0) return true;
        if (!BIO_should_retry(gathered)) {
            errno = EPIPE;
            return false;
        }
        pollfd watched{socket, POLLOUT, 0};
        const int ready = poll(&watched, 1, stall_ms);
        if (ready == 0) {
            errno = EAGAIN;
            return false;
        }
        if (ready < 0 && errno != EINTR) return false;
    }
}

} // namespace

void prepare_client_socket(int socket, const tvn_server_conf *conf) {
    const timeval limit{send_stall_seconds(conf), 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // An answer leaves at once: a plain one is a single send, but TLS writes it as records of
    // 16 KiB, and the handshake in several flights, each of which would otherwise wait for the
    // client's delayed acknowledgement of the one before.
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

readiness wait_readable(tvn_connection *connection, int wait_ms) {
    // Bytes the session has already decrypted wait in its buffer, not in the socket.
    if (connection->tls != nullptr && SSL_pending(connection->tls) > 0) return readiness::readable;
    pollfd watched{socket_of(connection), POLLIN, 0};
    const int ready = poll(&watched, 1, wait_ms);
    if (ready > 0) return readiness::readable;
    if (ready == 0 || errno == EINTR) return readiness::nothing_yet;
    return readiness::failed;
}

ssize_t receive_some(tvn_connection *connection, uint8_t *buffer, uint32_t count) {
    if (connection->tls != nullptr) return receive_from_session(connection->tls, buffer, count);
    for (;;) {
        const ssize_t got = recv(socket_of(connection), buffer, count, 0);
        if (got >= 0 || errno != EINTR) return got;
    }
}

namespace {

bool note_send_failure(tvn_connection *connection) {
    const bool stalled = errno == EAGAIN || errno == EWOULDBLOCK;
    append_log_message(connection, " Error sending the answer.");
    if (stalled) append_log_message(connection, " The client read nothing in time.");
    connection->request->disconnect = 1;
    return false;
}

} // namespace

bool send_and_note(tvn_connection *connection, const uint8_t *data, uint32_t length) {
    const int socket = socket_of(connection);
    while (length > 0) {
        const ssize_t sent = connection->tls != nullptr
                                 ? send_to_session(connection->tls, socket, data, length,
                                                   send_stall_ms(connection->server_conf))
                                 : send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return note_send_failure(connection);
        }
        data += sent;
        length -= uint32_t(sent);
    }
    if (connection->tls != nullptr &&
        !flush_session(connection->tls, socket, send_stall_ms(connection->server_conf)))
        return note_send_failure(connection);
    return true;
}
