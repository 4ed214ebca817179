// Encrypted sessions: the master reads the certificate chain and the key once, before the
// first fork (the key file may be readable by root alone); each worker runs the handshake of
// its connection after the accept, under the reception deadlines, and then reads and writes
// through the session. Nothing else in the server knows about TLS: client_stream.cpp hides it.
#pragma once

#include <cstdint>

struct tvn_server_conf;
struct tvn_connection;
typedef struct ssl_st SSL;

// In the master: builds the context from the configured files (TLS 1.2 and 1.3 only, no
// compression, no renegotiation). True when TLS is not configured or the context is ready;
// false after a message naming the file and the library's reason.
bool open_tls_context(const tvn_server_conf *conf);
void close_tls_context();

// In a worker: the handshake on the connection's socket, which becomes non-blocking, by the
// deadline (monotonic milliseconds). True with connection->tls set; false with the reason in
// the request's log message.
bool accept_tls(tvn_connection *connection, int64_t deadline);
// A closing alert, without waiting for the client's; frees the session.
void end_tls(tvn_connection *connection);
// The protocol version of an established session ("TLSv1.3").
const char *tls_version(const tvn_connection *connection);
