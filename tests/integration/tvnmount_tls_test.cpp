// tvnmount over TLS: trusting the CA it is given, or a self-signed certificate on first use
// with --accept-new (remembered in the user's known servers file, as tvnclient does).
#include <unistd.h>

#include <filesystem>

#include "tvnmount_fixture.h"

namespace tvn_test::mount {
namespace {

namespace fs = std::filesystem;

constexpr const char *openssl_binary = "/usr/bin/openssl";

class tvnmount_tls : public tvnmount_fixture {
protected:
    tvnmount_tls() : tvnmount_tls(free_port()) {}

    void SetUp() override {
        if (const std::string why = mount_unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (access(openssl_binary, X_OK) != 0)
            GTEST_SKIP() << "the certificate is made with " << openssl_binary << ", missing here";
        const command_result made = run(
            {openssl_binary, "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=tolvane test",
             "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key(), "-out", certificate()});
        ASSERT_EQ(made.exit_status, 0) << made.output;
        fs::permissions(key(), fs::perms::owner_read | fs::perms::owner_write);
        ASSERT_TRUE(server.start()) << server.output();
    }

    std::string certificate() { return server.root().file("conf/certificate.pem"); }
    std::string key() { return server.root().file("conf/key.pem"); }

    const std::uint16_t tls_port;

private:
    explicit tvnmount_tls(std::uint16_t port)
            : tvnmount_fixture([port] {
                  server_options options = mount_server_options(
                      "    TlsPort " + std::to_string(port) +
                      "\n    TlsCertificateFile @ROOT@conf/certificate.pem"
                      "\n    TlsKeyFile @ROOT@conf/key.pem\n");
                  options.start = false;
                  options.ready_port = port;
                  return options;
              }()),
              tls_port(port) {}
};

TEST_F(tvnmount_tls, a_mount_over_tls_works_with_the_ca_given_or_a_certificate_accepted) {
    write_file(area("Private/secret.txt"), "over TLS");
    {
        const auto verified = mount({"-p", std::to_string(tls_port), "--ca", certificate()});
        ASSERT_TRUE(verified->mounted());
        EXPECT_EQ(read_file(verified->path("Private/secret.txt")), "over TLS");
        write_file(verified->path("Private/back.txt"), "written over TLS");
        EXPECT_EQ(read_file(area("Private/back.txt")), "written over TLS");
    }
    const auto accepted = mount({"-p", std::to_string(tls_port), "--tls", "--accept-new"});
    ASSERT_TRUE(accepted->mounted());
    EXPECT_EQ(read_file(accepted->path("Private/secret.txt")), "over TLS");
    EXPECT_NE(accepted->output().find("remembered the certificate"), std::string::npos)
        << accepted->output();
}

TEST_F(tvnmount_tls, an_unknown_certificate_without_a_terminal_mounts_nothing) {
    mount_settings settings;
    settings.port = tls_port;
    settings.options = {"--tls"};
    mounted_tvnmount refused(settings);
    EXPECT_FALSE(refused.mounted());
    EXPECT_EQ(refused.finish(), 9) << refused.output();
    EXPECT_NE(refused.output().find("certificate is unknown"), std::string::npos)
        << refused.output();
}

} // namespace
} // namespace tvn_test::mount
