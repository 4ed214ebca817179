// The TLS session under a connection (connection_tls.cpp), as the connection's reading and
// writing loops in connection.cpp go through it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tvn_client {

struct tls_session;

// What one call on the session did. A want_* step means: wait until the socket is readable
// (writable), then make the same call again.
enum class tls_io { done, want_read, want_write, ended, failed };

tls_io tls_read(tls_session &session, std::uint8_t *into, std::size_t count, std::size_t &got);
tls_io tls_write(tls_session &session, const std::uint8_t *data, std::size_t count,
                 std::size_t &sent);
// done when a byte can be read, counting the bytes the session has already decrypted.
tls_io tls_peek(tls_session &session);
// Sends the closing alert without waiting for the peer's, and frees the session.
void end_tls_session(tls_session *session);

} // namespace tvn_client
