// Sessions over TLS through the client library: a whole session, resumption, what the server
// refuses on its TLS port, plain listening turned off, the journal's mark of an encrypted
// session, and the key out of a switched worker's reach.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "child_guard.h"
#include "client_session.h"
#include "server_processes.h"
#include "tls_fixture.h"
#include "tolvane/protocol.h"

namespace {

using namespace tvn_test;
using namespace tvn_test::tls;
using namespace tvn_client::open_mode;
using tvn_client::read_result;
using tvn_client::tls_handshake;

class tls_test : public tls_fixture {};

constexpr std::size_t chunk = 500000;

// Logs in as tester@test on an open connection; fails the test on a refusal.
void log_in(tvn_client::connection &connection, const std::string &password = "secret") {
    const auto answer =
        exchange(connection, tvn_client::connect_request("tester@test", password, 0));
    ASSERT_EQ(answer.status(), OK);
}

std::vector<std::uint8_t> bytes_of(const std::string &text) {
    return {text.begin(), text.end()};
}

// ---- a whole session -----------------------------------------------------------------------

TEST_F(tls_test, a_session_over_tls_logs_in_lists_moves_20_mb_both_ways_and_changes_the_password) {
    tvn_client::tls_result handshake;
    auto connection = tls_connection(tls_port, "127.0.0.1", certificate(), &handshake);
    EXPECT_TRUE(handshake.verified) << handshake.not_verified;
    EXPECT_EQ(handshake.protocol, "TLSv1.3");
    EXPECT_EQ(handshake.fingerprint, fingerprint_of(certificate()));
    EXPECT_TRUE(connection.is_tls());
    log_in(connection);

    cli::write_file(area("Public/hello.txt"), "hello\n");
    auto listing = exchange(connection, tvn_client::getdir_request("/Public"));
    ASSERT_EQ(listing.status(), OK);
    const std::string body(listing.body().begin(), listing.body().end());
    EXPECT_NE(body.find("hello.txt"), std::string::npos);

    const std::string original = cli::random_bytes(20u << 20, 7);
    auto opened = exchange(connection,
                           tvn_client::open_request("/Private/big.bin", write_only | create));
    ASSERT_EQ(opened.status(), OK);
    const std::uint32_t handle = opened.param_u32(4).value_or(0);
    for (std::size_t at = 0; at < original.size(); at += chunk) {
        const auto piece = bytes_of(original.substr(at, chunk));
        ASSERT_EQ(exchange(connection, tvn_client::write_request(handle, std::int32_t(at), piece))
                      .status(),
                  OK);
    }
    ASSERT_EQ(exchange(connection, tvn_client::close_request(handle)).status(), OK);
    EXPECT_EQ(cli::checksum(cli::read_file(area("Private/big.bin"))), cli::checksum(original));

    opened = exchange(connection, tvn_client::open_request("/Private/big.bin", read_only));
    ASSERT_EQ(opened.status(), OK);
    const std::uint32_t reading = opened.param_u32(4).value_or(0);
    std::string back;
    for (std::size_t at = 0; at < original.size(); at += chunk) {
        auto piece = exchange(connection,
                              tvn_client::read_request(reading, std::int32_t(at), std::int32_t(chunk)));
        ASSERT_EQ(piece.status(), OK);
        back.append(piece.body().begin(), piece.body().end());
    }
    EXPECT_EQ(back.size(), original.size());
    EXPECT_EQ(cli::checksum(back), cli::checksum(original));
    ASSERT_EQ(exchange(connection, tvn_client::close_request(reading)).status(), OK);

    // Nothing unasked-for arrives, and the server ends the session after a password change.
    EXPECT_TRUE(connection.nothing_received(200ms));
    auto changed =
        exchange(connection, tvn_client::changepwd_request("tester@test", "secret", "new", true));
    EXPECT_EQ(changed.method(), CONNECT);
    EXPECT_EQ(changed.status(), OK);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST_F(tls_test, the_next_connection_resumes_the_session_of_the_last_and_keeps_its_verdict) {
    tvn_client::forget_tls_sessions();
    tvn_client::tls_result first, second, elsewhere;
    {
        auto connection = tls_connection(tls_port, "localhost", certificate(), &first);
        log_in(connection); // the session's tickets come after the handshake
    }
    auto again = tls_connection(tls_port, "localhost", certificate(), &second);
    log_in(again);
    EXPECT_FALSE(first.resumed);
    EXPECT_TRUE(second.resumed);
    EXPECT_TRUE(second.verified);
    EXPECT_EQ(second.fingerprint, first.fingerprint);
    // Another name is another server as far as the cache knows.
    auto other = tls_connection(tls_port, "127.0.0.1", certificate(), &elsewhere);
    EXPECT_FALSE(elsewhere.resumed);
    // And other trust settings get no session verified under these.
    auto unchecked = tls_connection(tls_port, "localhost", "", &elsewhere);
    EXPECT_FALSE(elsewhere.resumed);
    EXPECT_FALSE(elsewhere.verified);
    EXPECT_FALSE(elsewhere.chain_trusted);
    EXPECT_EQ(elsewhere.fingerprint, first.fingerprint);
}

TEST_F(tls_test, the_verdict_says_why_a_certificate_does_not_verify) {
    struct row {
        std::string name, ca_file;
        bool verified, chain_trusted;
        std::string because;
    };
    for (const row &r : {row{"127.0.0.1", certificate(), true, true, ""},
                         row{"localhost", certificate(), true, true, ""},
                         row{"elsewhere.example", certificate(), false, true, "hostname mismatch"},
                         row{"10.1.2.3", certificate(), false, true, "IP address mismatch"},
                         row{"127.0.0.1", "", false, false, "self-signed certificate"}}) {
        tvn_client::tls_result result;
        auto connection = tls_connection(tls_port, r.name, r.ca_file, &result);
        EXPECT_EQ(result.verified, r.verified) << r.name << " " << r.ca_file;
        EXPECT_EQ(result.chain_trusted, r.chain_trusted) << r.name << " " << r.ca_file;
        EXPECT_EQ(result.not_verified, r.because) << r.name << " " << r.ca_file;
        EXPECT_EQ(result.fingerprint, fingerprint_of(certificate()));
    }
}

// ---- refusals ------------------------------------------------------------------------------

TEST_F(tls_test, a_plain_packet_on_the_tls_port_is_closed_without_an_answer_and_service_goes_on) {
    auto plain = tvn_client::connection::connect_to("127.0.0.1", tls_port, 5s);
    ASSERT_TRUE(plain.has_value());
    EXPECT_TRUE(closed_without_answer(*plain, tvn_client::connect_request("tester@test", "secret")));
    auto connection = tls_connection(tls_port, "127.0.0.1", certificate());
    log_in(connection);
}

TEST_F(tls_test, a_handshake_on_the_plain_port_finds_the_connection_closed) {
    auto connected = tvn_client::connection::connect_to("127.0.0.1", server.port(), 5s);
    ASSERT_TRUE(connected.has_value());
    const auto result = connected->start_tls({"127.0.0.1", certificate()}, 10s);
    EXPECT_EQ(result.handshake, tls_handshake::closed) << result.failure;
    EXPECT_FALSE(connected->is_open());
}

TEST_F(tls_test, a_handshake_nobody_answers_times_out) {
    // A listening socket that never accepts: the kernel completes the connection, nobody talks.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    auto connected = tvn_client::connection::connect_to("127.0.0.1", ntohs(address.sin_port), 5s);
    ASSERT_TRUE(connected.has_value());
    const auto start = std::chrono::steady_clock::now();
    const auto result = connected->start_tls({"127.0.0.1", ""}, 300ms);
    EXPECT_EQ(result.handshake, tls_handshake::timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    close(listener);
}

class tls_short_timeout_test : public tls_fixture {
protected:
    tls_short_timeout_test() : tls_fixture("    ConnectionKeepaliveTimeout 4\n") {}
};

TEST_F(tls_short_timeout_test, a_client_stalling_in_the_handshake_is_dropped_within_the_time_out) {
    auto stalled = tvn_client::connection::connect_to("127.0.0.1", tls_port, 5s);
    ASSERT_TRUE(stalled.has_value());
    // The start of a record header, and then nothing.
    const std::uint8_t partial[] = {0x16, 0x03, 0x01};
    ASSERT_TRUE(stalled->send_all(partial));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(stalled->wait_closed(15s));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 2s);
    EXPECT_LE(waited, 8s);
    // The worker that dropped it left the others serving.
    auto connection = tls_connection(tls_port, "127.0.0.1", certificate());
    log_in(connection);
}

// ---- plain listening off -------------------------------------------------------------------

class tls_only_test : public tls_fixture {
protected:
    tls_only_test() : tls_fixture("    PlainListening Disabled\n") {}
};

TEST_F(tls_only_test, no_plain_socket_is_open_and_tls_serves) {
    EXPECT_FALSE(port_listening(server.port()));
    EXPECT_TRUE(port_listening(tls_port));
    const std::string output = server.output();
    EXPECT_NE(output.find("listening on 127.0.0.1:" + std::to_string(tls_port) + " (TLS)"),
              std::string::npos);
    EXPECT_EQ(output.find("listening on 127.0.0.1:" + std::to_string(server.port())),
              std::string::npos);
    EXPECT_FALSE(tvn_client::connection::connect_to("127.0.0.1", server.port(), 2s).has_value());
    auto connection = tls_connection(tls_port, "127.0.0.1", certificate());
    log_in(connection);
    EXPECT_EQ(exchange(connection, tvn_client::getdir_request("/")).status(), OK);
}

// ---- the journal ---------------------------------------------------------------------------

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(tls_test, the_connection_lines_of_an_encrypted_session_end_with_its_protocol) {
    {
        auto connection = tls_connection(tls_port, "127.0.0.1", certificate());
        log_in(connection);
        EXPECT_EQ(exchange(connection, tvn_client::getdir_request("/Public")).status(), OK);
        ASSERT_TRUE(connection.send_all(tvn_client::disconnect_request().build()));
        EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
    }
    {
        auto plain = logged_in(server);
        ASSERT_TRUE(plain.send_all(tvn_client::disconnect_request().build()));
        EXPECT_TRUE(plain.wait_closed(ANSWER_TIMEOUT));
    }
    const auto lines = wait_journal(server.root(), 5);
    ASSERT_EQ(lines.size(), 5u);
    // METHOD RESPONSE USER [MESSAGE]
    EXPECT_EQ(lines[0], "1 1 tester [ over TLSv1.3]");
    EXPECT_EQ(lines[1], "3 1 tester []");
    EXPECT_TRUE(ends_with(lines[2], " over TLSv1.3]")) << lines[2];
    EXPECT_EQ(lines[2].rfind("2 1 tester [", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "1 1 tester []");
    EXPECT_EQ(lines[4].find("TLS"), std::string::npos) << lines[4];
}

// ---- the key and a switched worker ---------------------------------------------------------

class tls_switch_test : public tls_fixture {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "the worker switches to nobody: needs root";
        nobody = getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
        tls_fixture::SetUp();
        server.root().write_file("conf/test_auth", "switch\n");
    }
    const passwd *nobody = nullptr;
};

std::map<std::string, std::string> status_fields(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(status, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        fields[line.substr(0, colon)] = line.substr(line.find_first_not_of(" \t", colon + 1));
    }
    return fields;
}

TEST_F(tls_switch_test, a_worker_that_became_nobody_can_neither_open_the_key_nor_holds_it_open) {
    struct stat key_status {};
    ASSERT_EQ(stat(key().c_str(), &key_status), 0);
    EXPECT_EQ(key_status.st_uid, 0u);
    EXPECT_EQ(key_status.st_mode & 0777, 0600u);

    auto connection = tls_connection(tls_port, "127.0.0.1", certificate());
    log_in(connection);
    const unsigned long inode = server_side_inode(tls_port, connection.fd());
    ASSERT_NE(inode, 0u);
    pid_t serving = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            for (pid_t worker : server.workers())
                if (socket_inodes_of(worker).count(inode) != 0) serving = worker;
            return serving > 0;
        },
        10s));
    const std::string uid = std::to_string(nobody->pw_uid);
    EXPECT_EQ(status_fields(serving)["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
    for (const auto &[fd, target] : descriptors_of(serving))
        EXPECT_NE(target, key()) << "descriptor " << fd;

    // What the worker's identity may open: a child with the same identity tries.
    const std::string key_path = key();
    const gid_t group = nobody->pw_gid;
    const uid_t user = nobody->pw_uid;
    child_guard child = fork_child([&] {
        if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(user) != 0) return 2;
        const int fd = open(key_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return 1;
        return errno == EACCES ? 0 : 3;
    });
    EXPECT_EQ(child.wait_exit(10s), 0) << "1: the key opened, 2: no switch, 3: another error";
}

// ---- settings that cannot serve ------------------------------------------------------------

TEST(tls_settings, a_missing_or_mismatched_key_or_certificate_stops_the_start_with_its_reason) {
    temp_root root;
    root.install_server_library();
    const std::string certificate = root.file("conf/one-certificate.pem");
    const std::string key = root.file("conf/one-key.pem");
    const std::string other_certificate = root.file("conf/two-certificate.pem");
    const std::string other_key = root.file("conf/two-key.pem");
    ASSERT_EQ(make_certificate(certificate, key, server_names), "");
    ASSERT_EQ(make_certificate(other_certificate, other_key, server_names), "");
    struct row {
        std::string lines;
        std::string message;
    };
    const std::string port = "    ServerPort " + std::to_string(free_port()) + "\n";
    const std::string tls_port = "    TlsPort " + std::to_string(free_port()) + "\n";
    const row rows[] = {
        {tls_port + "    TlsCertificateFile " + certificate + "\n    TlsKeyFile " + root.file("conf/no-key.pem") + "\n",
         "Can't use the private key " + root.file("conf/no-key.pem")},
        {tls_port + "    TlsCertificateFile " + root.file("conf/none.pem") + "\n    TlsKeyFile " + key + "\n",
         "Can't use the certificate chain " + root.file("conf/none.pem")},
        {tls_port + "    TlsCertificateFile " + certificate + "\n    TlsKeyFile " + other_key + "\n",
         "(it does not match the certificate)"},
        {tls_port + "    TlsCertificateFile " + certificate + "\n",
         "TLS needs TlsPort, TlsCertificateFile and TlsKeyFile together"},
        {"    PlainListening Disabled\n",
         "PlainListening Disabled needs a TlsPort: the server would listen nowhere"},
        {"    PlainListening Off\n", "PlainListening Off must be Enabled or Disabled"},
        {"    TlsPort 70000\n", "TlsPort 70000 is not a port number (1 to 65535)"},
        {"    TlsPort 7777\n    TlsCertificateFile " + certificate + "\n    TlsKeyFile " + key + "\n",
         "TlsPort 7777 is the plain listeners' port too: give TLS a port of its own"},
    };
    for (const row &r : rows) {
        const std::string lines =
            r.lines.find("TlsPort 7777") != std::string::npos ? "    ServerPort 7777\n" + r.lines
                                                                : port + r.lines;
        root.write_config("<Server>\n    AddIpAddress 127.0.0.1\n" + lines + "</Server>\n");
        // The last row's PID file would name a daemon that has ended already.
        std::filesystem::remove(root.file("log/tolvane.pid"));
        launched_server server(root);
        server.start();
        EXPECT_EQ(server.wait_exit(), 1) << r.lines;
        EXPECT_NE(root.output().find(r.message), std::string::npos) << root.output();
        EXPECT_NE(root.output().find("I can't go on!"), std::string::npos) << root.output();
    }
}

} // namespace
