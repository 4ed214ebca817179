// The process-wide TLS state of the client library: one context per trust setting (the
// system's store, or a CA file), each read once, and the cache of the last session per server
// name, port and trust setting, with the verdict of the handshake that made it.
#pragma once

#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

namespace tvn_client {

// What the certificate checks of a full handshake concluded; a resumed session inherits it.
struct tls_verdict {
    bool verified = false;
    bool chain_trusted = false;
    std::string not_verified;
};

// Called with every new session a server hands out (TLS 1.3 tickets arrive after the
// handshake); answers 1 when it took over the session's reference.
using new_session_hook = int (*)(SSL *connection, SSL_SESSION *session);

// The client context for the trust setting (empty: the system's store), which reports new
// sessions to the hook. Null when the CA file cannot be read, with the reason in `failure`.
// Contexts live as long as the process.
SSL_CTX *client_context(const std::string &ca_file, new_session_hook hook, std::string &failure);

// The kept session for the key, with a reference for the caller (SSL_SESSION_free it), and
// its verdict; null when none is kept.
SSL_SESSION *kept_session(const std::string &key, tls_verdict &verdict);
// Keeps the session (the cache takes over the caller's reference) in place of the last one
// of its key.
void keep_session(const std::string &key, SSL_SESSION *session, const tls_verdict &verdict);

} // namespace tvn_client
