// The TLS tests' fixture: a real server with the test account, the path mapping and the test
// journal, listening plain on its port and with TLS on a second one, with a self-signed
// certificate (made with the openssl command) in its root; plus the tvnclient fixture's local
// directory, which is also the client's home (its known servers file lies below it).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tolvane/connection.h"
#include "tolvane/tls.h"
#include "tvnclient_fixture.h"

namespace tvn_test::tls {

inline constexpr const char *openssl_binary = "/usr/bin/openssl";
inline constexpr const char *server_names = "IP:127.0.0.1,DNS:localhost";

// The server's certificate and key in the root's conf/.
inline constexpr const char *certificate_file = "conf/server-certificate.pem";
inline constexpr const char *key_file = "conf/server-key.pem";

// Makes a self-signed certificate (P-256 key, mode 0600) for the subject alternative names
// (as the openssl command takes them: "IP:127.0.0.1,DNS:localhost"). Empty on success, else
// the command's output.
std::string make_certificate(const std::string &certificate, const std::string &key,
                             const std::string &alternative_names);
// The certificate's SHA-256 fingerprint as the openssl command prints it ("AB:CD:...").
std::string fingerprint_of(const std::string &certificate);

// Connects to the port and runs the handshake; fails the test unless it was established.
tvn_client::connection tls_connection(std::uint16_t port, const std::string &server_name,
                                      const std::string &ca_file,
                                      tvn_client::tls_result *result = nullptr);

class tls_fixture : public cli::tvnclient_fixture {
protected:
    // Extra Server lines beside the TLS ones; the server starts in SetUp, once its
    // certificate is there.
    explicit tls_fixture(const std::string &server_lines = "",
                         const std::string &alternative_names = server_names)
            : tls_fixture(free_port(), server_lines, alternative_names) {}

    void SetUp() override;

    std::string certificate() { return server.root().file(certificate_file); }
    std::string key() { return server.root().file(key_file); }
    // A new certificate and key in place of the server's (for the next start).
    void replace_certificate(const std::string &alternative_names = server_names);
    // tvnclient against the TLS port, with the given arguments before the command's.
    cli::client_result run_tls(std::vector<std::string> arguments,
                               const std::string &password = "secret");

    const std::uint16_t tls_port;
    const std::string alternative_names;

private:
    tls_fixture(std::uint16_t port, const std::string &server_lines,
                const std::string &alternative_names);
};

} // namespace tvn_test::tls
