// The server's TLS: the context of the master, the handshake of a worker.
#include "tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "answer.h"
#include "clock.h"
#include "config.h"
#include "connection.h"
#include "process.h"

namespace {

SSL_CTX *context = nullptr;

// Bytes of records gathered before they go to the socket: eight records of 16 KiB.
constexpr long WRITE_GATHER_BYTES = 8 * (16384 + 64);

// The library's reason for the last failure, and its queue emptied.
std::string last_tls_error() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown reason";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool fail_context(const char *what, const char *file) {
    std::printf("\nCan't use %s %s: %s\n", what, file, last_tls_error().c_str());
    std::fflush(stdout);
    close_tls_context();
    return false;
}

// Waits for the socket as the session asks (read or write) until the deadline; false when
// the deadline passed, the server stops or the wait failed.
bool wait_as_asked(int socket, int ssl_error, int64_t deadline) {
    const short events = ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    for (;;) {
        if (!os_get_server_status()) return false;
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) return false;
        pollfd watched{socket, events, 0};
        const int ready = poll(&watched, 1, int(left < 2000 ? left : 2000));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Reads straight from the socket; writes gather in a buffer in front of it, so that an answer
// of 500000 bytes, 31 records, leaves in a few sends instead of one per record. The handshake
// flushes its flights itself; flush_tls sends what an answer left there.
bool attach_socket(SSL *session, int socket) {
    BIO *reading = BIO_new_socket(socket, BIO_NOCLOSE);
    BIO *gathering = BIO_new(BIO_f_buffer());
    BIO *writing = BIO_new_socket(socket, BIO_NOCLOSE);
    if (reading == nullptr || gathering == nullptr || writing == nullptr ||
        BIO_set_write_buffer_size(gathering, WRITE_GATHER_BYTES) != 1) {
        BIO_free(reading);
        BIO_free(gathering);
        BIO_free(writing);
        return false;
    }
    SSL_set_bio(session, reading, BIO_push(gathering, writing));
    return true;
}

}  // namespace

bool open_tls_context(const tvn_server_conf *conf) {
    if (conf->tls_port == 0) return true;
    context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return fail_context("the TLS library for", "the server");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                     SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Workers are processes: a session cache in one is no use to the next. Resumption rides
    // on tickets, whose keys every worker inherits from this context.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    // Moving and partial writes suit the answer loop, which waits for the socket between.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, conf->tls_certificate_file) != 1)
        return fail_context("the certificate chain", conf->tls_certificate_file);
    if (SSL_CTX_use_PrivateKey_file(context, conf->tls_key_file, SSL_FILETYPE_PEM) != 1) {
        const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
        return fail_context(mismatch ? "the private key (it does not match the certificate)"
                                     : "the private key",
                            conf->tls_key_file);
    }
    if (SSL_CTX_check_private_key(context) != 1)
        return fail_context("the private key (it does not match the certificate)",
                            conf->tls_key_file);
    return true;
}

void close_tls_context() {
    SSL_CTX_free(context);
    context = nullptr;
}

bool accept_tls(tvn_connection *connection, int64_t deadline) {
    const int socket = connection->request->connection_id;
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    SSL *session = context != nullptr ? SSL_new(context) : nullptr;
    if (session == nullptr || !attach_socket(session, socket)) {
        SSL_free(session);
        append_log_message(connection, " TLS handshake failed: no session");
        return false;
    }
    for (;;) {
        const int done = SSL_accept(session);
        if (done == 1) break;
        const int error = SSL_get_error(session, done);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            wait_as_asked(socket, error, deadline))
            continue;
        const std::string reason = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE
                                       ? "not completed in time"
                                       : last_tls_error();
        append_log_message(connection, (" TLS handshake failed: " + reason).c_str());
        SSL_free(session);
        return false;
    }
    connection->tls = session;
    return true;
}

void end_tls(tvn_connection *connection) {
    if (connection->tls == nullptr) return;
    SSL_shutdown(connection->tls); // one try: the socket is non-blocking and about to close
    SSL_free(connection->tls);
    connection->tls = nullptr;
}

const char *tls_version(const tvn_connection *connection) {
    return connection->tls != nullptr ? SSL_get_version(connection->tls) : "";
}
