// TLS for a connection: what the client asks of the handshake and what it learned about the
// server. The handshake itself is connection::start_tls.
#pragma once

#include <string>

namespace tvn_client {

struct tls_settings {
    // The name the certificate must carry: a host name (also sent as SNI) or an IPv4 or
    // IPv6 address (checked against the certificate's IP addresses; no SNI).
    std::string server_name;
    // PEM file of the certificates to trust; empty: the system's trust store.
    std::string ca_file;
};

enum class tls_handshake {
    established, // the session is up; the connection now reads and writes through it
    closed,      // the server ended the connection before sending a byte of TLS
    timed_out,   // not complete by the deadline
    failed,      // anything else; tls_result::failure says what
};

struct tls_result {
    tls_handshake handshake = tls_handshake::failed;
    std::string failure; // why the handshake failed, in the TLS library's words

    // The rest is meaningful only when established.
    bool verified = false;      // the chain leads to a trusted certificate and the name matched
    bool chain_trusted = false; // the chain leads to a trusted certificate, whatever the name
    std::string not_verified;   // why it did not verify ("self-signed certificate"); else empty
    // SHA-256 of the server's certificate (DER), as "AB:CD:...:EF", the way
    // `openssl x509 -noout -fingerprint -sha256` prints it. Given whether verified or not.
    std::string fingerprint;
    std::string protocol; // "TLSv1.3"
    bool resumed = false; // a session kept from an earlier connection was taken up
};

// Sessions are kept per server name and port in a small process-wide cache (the last one
// each) and offered by the next handshake with the same name, port and trust settings, so
// that a resumed session costs neither party a signature. A resumed session reports the
// verdict of the handshake that first made it. Thread-safe.
//
// Forgets every kept session (tests; a client that wants a full handshake next).
void forget_tls_sessions();

} // namespace tvn_client
