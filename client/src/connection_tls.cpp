// TLS under a connection: the handshake and its certificate checks, and reading and writing
// through the session on the connection's non-blocking socket. The session writes with
// MSG_NOSIGNAL (its own socket method), so a server gone away never raises SIGPIPE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tls_contexts.h"
#include "tls_session.h"
#include "tolvane/connection.h"

namespace tvn_client {

struct tls_session {
    SSL *ssl = nullptr;
    std::string cache_key; // name, port and trust setting; empty: nothing is kept
    // What the certificate checks of this handshake found: the first problem with the chain,
    // and a name that did not match.
    long chain_error = X509_V_OK;
    long name_error = X509_V_OK;
    bool name_given = true;
    tls_verdict offered; // the verdict of the session offered for resumption
};

namespace {

// ---- the socket under the session --------------------------------------------------------

int send_without_signal(BIO *bio, const char *data, int length) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    const ssize_t sent = send(fd, data, std::size_t(length), MSG_NOSIGNAL);
    BIO_clear_retry_flags(bio);
    if (sent <= 0 && BIO_sock_should_retry(int(sent))) BIO_set_retry_write(bio);
    return int(sent);
}

// The socket method with its write replaced; made once for the process.
const BIO_METHOD *socket_method() {
    static BIO_METHOD *const method = [] {
        const BIO_METHOD *plain = BIO_s_socket();
        BIO_METHOD *own = BIO_meth_new(BIO_TYPE_SOCKET, "tvn socket");
        if (own == nullptr) return own;
        BIO_meth_set_write(own, send_without_signal);
        BIO_meth_set_read(own, BIO_meth_get_read(plain));
        BIO_meth_set_puts(own, BIO_meth_get_puts(plain));
        BIO_meth_set_ctrl(own, BIO_meth_get_ctrl(plain));
        BIO_meth_set_create(own, BIO_meth_get_create(plain));
        BIO_meth_set_destroy(own, BIO_meth_get_destroy(plain));
        return own;
    }();
    return method;
}

// ---- certificate checks ------------------------------------------------------------------

tls_session *session_of(SSL *ssl) { return static_cast<tls_session *>(SSL_get_app_data(ssl)); }

bool is_name_error(long error) {
    return error == X509_V_ERR_HOSTNAME_MISMATCH || error == X509_V_ERR_IP_ADDRESS_MISMATCH ||
           error == X509_V_ERR_EMAIL_MISMATCH;
}

// Notes every problem and lets the handshake go on: the caller judges the verdict, and a
// client that trusts on first use needs the certificate of a server it cannot verify.
int note_problem(int ok, X509_STORE_CTX *store) {
    if (ok == 1) return 1;
    auto *ssl = static_cast<SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    tls_session *session = ssl != nullptr ? session_of(ssl) : nullptr;
    if (session == nullptr) return 1;
    const long error = X509_STORE_CTX_get_error(store);
    long &slot = is_name_error(error) ? session->name_error : session->chain_error;
    if (slot == X509_V_OK) slot = error;
    return 1;
}

std::string verify_words(long error) { return X509_verify_cert_error_string(error); }

// The verdict of this handshake's own checks (a resumed session's is the one it was made with).
tls_verdict verdict_of(const tls_session &session) {
    if (SSL_session_reused(session.ssl) == 1) return session.offered;
    tls_verdict verdict;
    const long result = SSL_get_verify_result(session.ssl);
    const long chain_error = session.chain_error != X509_V_OK ? session.chain_error
                             : is_name_error(result)          ? X509_V_OK
                                                              : result;
    verdict.chain_trusted =
        chain_error == X509_V_OK && SSL_get0_peer_certificate(session.ssl) != nullptr;
    verdict.verified = verdict.chain_trusted && session.name_error == X509_V_OK &&
                       !is_name_error(result) && session.name_given;
    if (verdict.verified) return verdict;
    if (chain_error != X509_V_OK)
        verdict.not_verified = verify_words(chain_error);
    else if (session.name_error != X509_V_OK)
        verdict.not_verified = verify_words(session.name_error);
    else if (is_name_error(result))
        verdict.not_verified = verify_words(result);
    else if (!session.name_given)
        verdict.not_verified = "no server name to check the certificate against";
    else
        verdict.not_verified = "no certificate";
    return verdict;
}

int keep_new_session(SSL *ssl, SSL_SESSION *made) {
    const tls_session *session = session_of(ssl);
    if (session == nullptr || session->cache_key.empty()) return 0;
    keep_session(session->cache_key, made, verdict_of(*session));
    return 1;
}

bool is_ip_address(const std::string &name) {
    in6_addr address;
    return inet_pton(AF_INET, name.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, name.c_str(), &address) == 1;
}

// The name the certificate must carry, and SNI for a host name.
bool expect_name(SSL *ssl, const std::string &name) {
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (is_ip_address(name)) return X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 && SSL_set1_host(ssl, name.c_str()) == 1;
}

std::string fingerprint_of(const X509 *certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return {};
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i + 1 < length ? "%02X:" : "%02X", digest[i]);
        text += pair;
    }
    return text;
}

std::uint16_t peer_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

// A session over the socket for the settings, with the kept session offered; null with the
// reason when it cannot be made.
tls_session *new_session(int fd, const tls_settings &settings, std::string &failure) {
    SSL_CTX *context = client_context(settings.ca_file, keep_new_session, failure);
    if (context == nullptr) return nullptr;
    auto *session = new tls_session;
    session->ssl = SSL_new(context);
    BIO *socket = session->ssl != nullptr ? BIO_new(socket_method()) : nullptr;
    if (socket == nullptr) {
        failure = "no TLS session: out of memory";
        end_tls_session(session);
        return nullptr;
    }
    BIO_set_fd(socket, fd, BIO_NOCLOSE);
    SSL_set_bio(session->ssl, socket, socket);
    SSL_set_app_data(session->ssl, session);
    SSL_set_verify(session->ssl, SSL_VERIFY_NONE, note_problem);
    SSL_set_connect_state(session->ssl);
    session->name_given = !settings.server_name.empty();
    if (session->name_given && !expect_name(session->ssl, settings.server_name)) {
        failure = "cannot check the certificate for the name " + settings.server_name;
        end_tls_session(session);
        return nullptr;
    }
    if (session->name_given) {
        session->cache_key = settings.server_name + "\n" + std::to_string(peer_port(fd)) + "\n" +
                             settings.ca_file;
        if (SSL_SESSION *offer = kept_session(session->cache_key, session->offered)) {
            SSL_set_session(session->ssl, offer);
            SSL_SESSION_free(offer); // the session holds its own reference now
        }
    }
    return session;
}

// The step a failed call on the session asks for; errno says why a failure failed.
tls_io step_after_failure(SSL *ssl) {
    switch (SSL_get_error(ssl, 0)) {
    case SSL_ERROR_WANT_READ: return tls_io::want_read;
    case SSL_ERROR_WANT_WRITE: return tls_io::want_write;
    case SSL_ERROR_ZERO_RETURN: return tls_io::ended;
    case SSL_ERROR_SYSCALL:
        if (errno == 0) return tls_io::ended;
        return tls_io::failed;
    default: errno = EPROTO; return tls_io::failed;
    }
}

std::string handshake_failure() {
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        const char *reason = ERR_reason_error_string(code);
        ERR_clear_error();
        if (reason != nullptr) return reason;
    }
    if (errno != 0 && errno != EPROTO) return std::strerror(errno);
    return "the TLS handshake failed";
}

} // namespace

tls_io tls_read(tls_session &session, std::uint8_t *into, std::size_t count, std::size_t &got) {
    ERR_clear_error();
    if (SSL_read_ex(session.ssl, into, count, &got) == 1) return tls_io::done;
    return step_after_failure(session.ssl);
}

tls_io tls_write(tls_session &session, const std::uint8_t *data, std::size_t count,
                 std::size_t &sent) {
    ERR_clear_error();
    if (SSL_write_ex(session.ssl, data, count, &sent) == 1) return tls_io::done;
    return step_after_failure(session.ssl);
}

tls_io tls_peek(tls_session &session) {
    if (SSL_pending(session.ssl) > 0) return tls_io::done;
    ERR_clear_error();
    std::uint8_t byte;
    std::size_t got = 0;
    if (SSL_peek_ex(session.ssl, &byte, 1, &got) == 1) return tls_io::done;
    return step_after_failure(session.ssl);
}

void end_tls_session(tls_session *session) {
    if (session == nullptr) return;
    if (session->ssl != nullptr) {
        ERR_clear_error();
        if (SSL_is_init_finished(session->ssl)) SSL_shutdown(session->ssl);
        ERR_clear_error();
        SSL_free(session->ssl);
    }
    delete session;
}

tls_result connection::start_tls(const tls_settings &settings, milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    tls_result result;
    if (fd_ < 0 || tls_ != nullptr) {
        result.failure = fd_ < 0 ? "not connected" : "TLS is already on";
        return result;
    }
    tls_ = new_session(fd_, settings, result.failure);
    if (tls_ == nullptr) {
        close();
        return result;
    }
    SSL *ssl = tls_->ssl;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int done = SSL_do_handshake(ssl);
        if (done == 1) break;
        const tls_io step = step_after_failure(ssl);
        if (step == tls_io::want_read || step == tls_io::want_write) {
            if (wait_as_asked(step_of(step), deadline)) continue;
            result.handshake = errno == 0 ? tls_handshake::timed_out : tls_handshake::failed;
            result.failure = errno == 0 ? "no answer in time" : std::strerror(errno);
        } else {
            // A server that does not speak TLS here ends the connection on the first bytes,
            // closing or resetting it, and sends nothing.
            const bool silent = BIO_number_read(SSL_get_rbio(ssl)) == 0;
            const bool ended = step == tls_io::ended || errno == ECONNRESET || errno == EPIPE;
            result.handshake = silent && ended ? tls_handshake::closed : tls_handshake::failed;
            result.failure = ended ? "the server closed the connection" : handshake_failure();
        }
        close();
        return result;
    }
    const tls_verdict verdict = verdict_of(*tls_);
    result.handshake = tls_handshake::established;
    result.verified = verdict.verified;
    result.chain_trusted = verdict.chain_trusted;
    result.not_verified = verdict.not_verified;
    result.fingerprint = fingerprint_of(SSL_get0_peer_certificate(ssl));
    result.protocol = SSL_get_version(ssl);
    result.resumed = SSL_session_reused(ssl) == 1;
    return result;
}

} // namespace tvn_client
