// The TLS tests' fixture: certificates with the openssl command, connections over TLS.
#include "tls_fixture.h"

#include <unistd.h>

#include <filesystem>

namespace tvn_test::tls {

namespace fs = std::filesystem;

std::string make_certificate(const std::string &certificate, const std::string &key,
                             const std::string &alternative_names) {
    fs::remove(key);
    const command_result made = run_command(
        {openssl_binary, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-days", "2", "-subj", "/CN=tolvane test", "-addext",
         "subjectAltName=" + alternative_names, "-keyout", key, "-out", certificate});
    if (made.exit_status != 0) return made.output;
    fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
    return {};
}

std::string fingerprint_of(const std::string &certificate) {
    const command_result shown = run_command(
        {openssl_binary, "x509", "-noout", "-fingerprint", "-sha256", "-in", certificate});
    const auto equals = shown.output.find('=');
    if (shown.exit_status != 0 || equals == std::string::npos) return {};
    std::string fingerprint = shown.output.substr(equals + 1);
    fingerprint.erase(fingerprint.find_last_not_of("\r\n") + 1);
    return fingerprint;
}

tvn_client::connection tls_connection(std::uint16_t port, const std::string &server_name,
                                      const std::string &ca_file, tvn_client::tls_result *result) {
    auto connected = tvn_client::connection::connect_to("127.0.0.1", port, 5s);
    EXPECT_TRUE(connected.has_value()) << "cannot connect to port " << port;
    if (!connected) return {};
    const tvn_client::tls_result handshake = connected->start_tls({server_name, ca_file}, 10s);
    EXPECT_EQ(handshake.handshake, tvn_client::tls_handshake::established) << handshake.failure;
    if (result != nullptr) *result = handshake;
    return std::move(*connected);
}

tls_fixture::tls_fixture(std::uint16_t port, const std::string &server_lines,
                         const std::string &names)
        : tvnclient_fixture([&] {
              server_options options = cli::client_server_options(
                  "    TlsPort " + std::to_string(port) + "\n    TlsCertificateFile @ROOT@" +
                  certificate_file + "\n    TlsKeyFile @ROOT@" + key_file + "\n" + server_lines);
              options.start = false;
              options.ready_port = port;
              return options;
          }()),
          tls_port(port), alternative_names(names) {}

void tls_fixture::SetUp() {
    if (access(openssl_binary, X_OK) != 0)
        GTEST_SKIP() << "the certificates are made with " << openssl_binary << ", missing here";
    const std::string failed = make_certificate(certificate(), key(), alternative_names);
    ASSERT_EQ(failed, "");
    ASSERT_TRUE(server.start()) << server.output();
}

void tls_fixture::replace_certificate(const std::string &names) {
    ASSERT_EQ(make_certificate(certificate(), key(), names), "");
}

cli::client_result tls_fixture::run_tls(std::vector<std::string> arguments,
                                        const std::string &password) {
    std::vector<std::string> all{"-p", std::to_string(tls_port)};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return run(all, password);
}

} // namespace tvn_test::tls
