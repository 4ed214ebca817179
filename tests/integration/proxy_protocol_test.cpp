// Behind a balancer, end to end: a server with ProxyProtocol takes the client's address from
// the PROXY header (versions 1 and 2, before plain SISP and before a TLS handshake) for the
// journal and for its per-address limits, and closes without an answer, logged, whatever
// comes from elsewhere or without a valid header; a server without the key treats a header as
// the malformed packet it is.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_session.h"
#include "journal_line.h"
#include "tls_fixture.h"

namespace {

using namespace tvn_test;
using bytes = std::vector<uint8_t>;

constexpr const char *balancer = "127.0.0.1";
constexpr const char *elsewhere = "127.0.0.2";

bytes text(const std::string &line) { return bytes(line.begin(), line.end()); }

bytes v2_header(uint8_t command, uint8_t family, const bytes &block) {
    static constexpr uint8_t signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                              0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
    bytes header(16 + block.size());
    std::copy(std::begin(signature), std::end(signature), header.begin());
    header[12] = uint8_t(0x20 | command);
    header[13] = family;
    header[14] = uint8_t(block.size() >> 8);
    header[15] = uint8_t(block.size() & 0xFF);
    std::copy(block.begin(), block.end(), header.begin() + 16);
    return header;
}

// TCP over IPv4 from a.b.c.d:port to 10.0.0.1:700.
bytes v2_inet(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 40000) {
    return v2_header(1, 0x11, {a, b, c, d, 10, 0, 0, 1, uint8_t(port >> 8), uint8_t(port), 2, 0xBC});
}

bytes v2_local() { return v2_header(0, 0x00, {}); }

std::string section_lines() {
    return "<module mod_log>\n"
           "    <VirtualDomain any>\n"
           "        LoggingFile @ROOT@log/journal.log\n"
           "        LogConnection\n"
           "        LogDisconnect\n"
           "    </VirtualDomain>\n"
           "</module>\n";
}

server_options behind_balancer(const std::string &lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "journal.so"};
    options.server_lines = "    ProxyProtocol " + std::string(balancer) + "\n" + lines;
    options.module_sections = section_lines();
    return options;
}

server_options without_key() {
    server_options options = behind_balancer();
    options.server_lines = "";
    return options;
}

// A connection to port from the loopback address `from`.
tvn_client::connection connect_from(const char *from, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote), 0);
    return tvn_client::connection(fd);
}

// A connection from the balancer that has sent the header.
tvn_client::connection relayed(const test_server &server, const bytes &header,
                               const char *from = balancer) {
    auto connection = connect_from(from, server.port());
    EXPECT_TRUE(connection.send_all(header));
    return connection;
}

tvn_client::read_result log_in(tvn_client::connection &connection, tvn_client::answer *answer) {
    return connection.request(tvn_client::connect_request("tester@test", "secret").build(),
                              *answer, ANSWER_TIMEOUT);
}

void expect_session(tvn_client::connection &connection) {
    tvn_client::answer answer;
    ASSERT_EQ(log_in(connection, &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), OK);
}

// The server may close (and reset) before it has read the login: a failed send is no answer.
bool refused_without_answer(tvn_client::connection &connection) {
    return closed_without_answer(connection, tvn_client::connect_request("tester@test", "secret"));
}

std::vector<std::string> journal(test_server &server) {
    return split_lines(server.root().read_file("log/journal.log"));
}

// Waits until a journal line matches the pattern; the line, or empty.
std::string wait_line(test_server &server, const line_pattern &pattern) {
    std::string found;
    wait_until(
        [&] {
            for (const std::string &line : journal(server))
                if (match_line(line, pattern)) {
                    found = line;
                    return true;
                }
            return false;
        },
        10s);
    return found;
}

expected_line connection_line(const std::string &method, const std::string &address,
                              const std::string &message = "") {
    expected_line line;
    line.method = method;
    line.local2 = "from ip";
    line.address = address;
    line.message = message;
    return line;
}

#define EXPECT_LOGGED(server, pattern) EXPECT_NE(wait_line(server, pattern), "") << server.root().read_file("log/journal.log")

TEST(proxy_protocol, a_version_1_header_makes_its_client_the_one_the_journal_names) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    auto session = relayed(server, text("PROXY TCP4 192.0.2.10 10.0.0.1 51000 700\r\n"));
    expect_session(session);
    session.close();
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", "192.0.2.10")));
    EXPECT_LOGGED(server, request_pattern(connection_line("DISCONNECT", "192.0.2.10")));
    for (const std::string &line : journal(server))
        EXPECT_EQ(line.find("127.0.0.1"), std::string::npos) << line;
}

TEST(proxy_protocol, a_version_2_header_makes_its_client_the_one_the_journal_names) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    auto session = relayed(server, v2_inet(198, 51, 100, 7));
    expect_session(session);
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", "198.51.100.7")));
}

TEST(proxy_protocol, an_ipv6_client_is_named_at_the_end_of_the_connection_lines) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    auto session = relayed(server, text("PROXY TCP6 2001:db8::7 2001:db8::1 51000 700\r\n"));
    expect_session(session);
    session.close();
    // The module interface carries IPv4 only: the message says who the client is.
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", "0.0.0.0",
                                                          " client 2001:db8::7")));
    EXPECT_LOGGED(server, request_pattern(connection_line("DISCONNECT", "0.0.0.0",
                                                          " client 2001:db8::7")));
}

TEST(proxy_protocol, a_balancer_on_ipv6_is_never_named_for_the_ipv6_client_it_relays) {
    server_options options = behind_balancer("    AddIpAddress ::1\n    ProxyProtocol ::1\n");
    test_server server(options);
    ASSERT_TRUE(server.running()) << server.output();
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 remote{};
    remote.sin6_family = AF_INET6;
    remote.sin6_port = htons(server.port());
    remote.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote), 0);
    tvn_client::connection session(fd);
    ASSERT_TRUE(session.send_all(text("PROXY TCP6 2001:db8::9 2001:db8::1 51000 700\r\n")));
    expect_session(session);
    // The socket's peer is the balancer (::1): the column must not take it for the client.
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", "0.0.0.0",
                                                          " client 2001:db8::9")));
    for (const std::string &line : journal(server))
        EXPECT_EQ(line.find("::1"), std::string::npos) << line;
}

TEST(proxy_protocol, a_header_from_an_address_not_in_the_list_is_refused_and_logged) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    auto forged = relayed(server, text("PROXY TCP4 192.0.2.99 10.0.0.1 51000 700\r\n"), elsewhere);
    EXPECT_TRUE(refused_without_answer(forged));
    EXPECT_LOGGED(server,
                  refused_pattern(elsewhere, " Connection from an address not in ProxyProtocol"));
    for (const std::string &line : journal(server))
        EXPECT_EQ(line.find("192.0.2.99"), std::string::npos) << line;
}

TEST(proxy_protocol, plain_sisp_from_the_balancer_without_a_header_is_refused_and_logged) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    auto direct = connect_from(balancer, server.port());
    EXPECT_TRUE(refused_without_answer(direct));
    EXPECT_LOGGED(server, refused_pattern(balancer, " Bad PROXY header: no PROXY signature"));
}

TEST(proxy_protocol, malformed_headers_are_refused_with_their_reason) {
    test_server server(behind_balancer());
    ASSERT_TRUE(server.running()) << server.output();
    struct row {
        bytes header;
        const char *reason;
    } const rows[] = {
        {text("PROXY TCP4 192.0.2.1 10.0.0.1 051000 700\r\n"), "bad source port"},
        {text("PROXY TCP4 192.0.2.1 10.0.0.1 51000 700\n"),
         "a line feed without its carriage return"},
        {v2_header(2, 0x11, {192, 0, 2, 1, 10, 0, 0, 1, 0, 1, 0, 2}), "unknown command"},
        {v2_header(1, 0x11, {192, 0, 2, 1}), "address block too short"},
    };
    for (const row &r : rows) {
        auto connection = relayed(server, r.header);
        EXPECT_TRUE(refused_without_answer(connection)) << r.reason;
        EXPECT_LOGGED(server, refused_pattern(balancer, std::string(" Bad PROXY header: ") + r.reason));
    }
}

TEST(proxy_protocol, a_header_that_does_not_come_in_time_ends_the_connection) {
    test_server server(behind_balancer("    LoginGraceTime 1\n"));
    ASSERT_TRUE(server.running()) << server.output();
    auto stalled = relayed(server, text("PROXY TCP4 192.0.2.1"));
    EXPECT_TRUE(stalled.wait_closed(5s));
    EXPECT_LOGGED(server, refused_pattern(balancer, " No PROXY header in time"));
}

TEST(proxy_protocol, the_balancers_health_check_is_answered_like_any_connection_without_login) {
    test_server server(behind_balancer("    MaxConnectionRatePerAddress 2\n"));
    ASSERT_TRUE(server.running()) << server.output();
    // LOCAL connections have no client address: no per-address limit counts them, so a
    // check every few seconds never shuts the balancer out.
    for (int check = 0; check < 4; ++check) {
        auto probe = relayed(server, v2_local());
        tvn_client::answer answer;
        ASSERT_EQ(probe.request(tvn_client::keepalive_request().build(), answer, ANSWER_TIMEOUT),
                  tvn_client::read_result::answer_read)
            << "check " << check;
        EXPECT_EQ(answer.method(), KEEPALIVE);
        EXPECT_EQ(answer.status(), WRONG_AUTH);
        EXPECT_TRUE(probe.wait_closed(ANSWER_TIMEOUT));
    }
    EXPECT_LOGGED(server, refused_pattern(balancer, ""));
}

TEST(proxy_protocol, per_address_limits_count_the_clients_the_headers_name) {
    test_server server(behind_balancer("    MaxConnectionsPerAddress 1\n"));
    ASSERT_TRUE(server.running()) << server.output();
    // Two clients through one balancer: each has its own count.
    auto first = relayed(server, v2_inet(192, 0, 2, 1));
    expect_session(first);
    auto second = relayed(server, v2_inet(192, 0, 2, 2));
    expect_session(second);
    // A second connection of the first client is over its limit, and logged under its address.
    auto again = relayed(server, v2_inet(192, 0, 2, 1, 40001));
    EXPECT_TRUE(refused_without_answer(again));
    EXPECT_LOGGED(server, refused_pattern("192.0.2.1", " Too many connections from this address"));
}

TEST(proxy_protocol, the_busy_count_of_max_concurrent_users_holds_behind_the_balancer) {
    test_server server(behind_balancer("    MaxConcurrentUsers 1\n"));
    ASSERT_TRUE(server.running()) << server.output();
    auto first = relayed(server, v2_inet(192, 0, 2, 1));
    expect_session(first);
    // Counted once the master has answered its report with a sixth worker.
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s));
    auto second = relayed(server, v2_inet(192, 0, 2, 2));
    EXPECT_TRUE(refused_without_answer(second));
    EXPECT_LOGGED(server, refused_pattern("192.0.2.2", " Too many connections in service"));
    first.close();
    EXPECT_TRUE(wait_until(
        [&] {
            auto later = relayed(server, v2_inet(192, 0, 2, 3));
            tvn_client::answer answer;
            return log_in(later, &answer) == tvn_client::read_result::answer_read &&
                   answer.status() == OK;
        },
        10s));
}

TEST(proxy_protocol, without_the_key_a_header_is_a_malformed_packet_and_nothing_else_changes) {
    test_server server(without_key());
    ASSERT_TRUE(server.running()) << server.output();
    for (const bytes &header : {text("PROXY TCP4 192.0.2.10 10.0.0.1 51000 700\r\n"),
                                v2_inet(192, 0, 2, 10)}) {
        auto connection = relayed(server, header);
        EXPECT_TRUE(refused_without_answer(connection));
    }
    EXPECT_TRUE(wait_until(
        [&] {
            const auto lines = journal(server);
            return std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
                       return match_line(line, refused_pattern(balancer, " Bad Header packet"))
                           .has_value();
                   }) == 2;
        },
        10s))
        << server.root().read_file("log/journal.log");
    // Any address may connect, and the journal names the socket's peer, as always.
    auto direct = connect_from(elsewhere, server.port());
    expect_session(direct);
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", elsewhere)));
}

TEST(proxy_protocol, without_the_key_an_ipv6_client_is_named_by_its_socket_as_before) {
    server_options options = without_key();
    options.server_lines = "    AddIpAddress ::1\n";
    test_server server(options);
    ASSERT_TRUE(server.running()) << server.output();
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 remote{};
    remote.sin6_family = AF_INET6;
    remote.sin6_port = htons(server.port());
    remote.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote), 0);
    tvn_client::connection session(fd);
    expect_session(session);
    EXPECT_LOGGED(server, request_pattern(connection_line("CONNECT   ", "::1")));
}

class proxy_protocol_tls : public tls::tls_fixture {
protected:
    proxy_protocol_tls() : tls_fixture("    ProxyProtocol 127.0.0.1\n") {}
};

TEST_F(proxy_protocol_tls, the_header_comes_in_clear_before_the_handshake) {
    auto connection = connect_from(balancer, tls_port);
    ASSERT_TRUE(connection.send_all(v2_inet(203, 0, 113, 5)));
    const tvn_client::tls_result handshake =
        connection.start_tls({"127.0.0.1", certificate()}, 10s);
    ASSERT_EQ(handshake.handshake, tvn_client::tls_handshake::established) << handshake.failure;
    expect_session(connection);
    // A handshake without the header is no header: closed before a byte of TLS comes back.
    auto bare = connect_from(balancer, tls_port);
    EXPECT_EQ(bare.start_tls({"127.0.0.1", certificate()}, 10s).handshake,
              tvn_client::tls_handshake::closed);
}

} // namespace
