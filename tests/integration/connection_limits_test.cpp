// Limits per client address and login throttling, end to end: the connection over a limit is
// closed without an answer and logged with its reason, a refused login waits before it is
// answered, an address that guessed too often is shut out, and other addresses go on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "client_session.h"

namespace {

using namespace tvn_test;
using clock_type = std::chrono::steady_clock;

server_options limited(const std::string &lines) {
    server_options options;
    options.modules = {"test_auth_module.so", "test_logger_module.so"};
    options.server_lines = lines;
    return options;
}

// A connection to the server from another loopback address (127.0.0.2).
tvn_client::connection connect_from_other_address(const test_server &server) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr("127.0.0.2");
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(server.port());
    remote.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote), 0);
    return tvn_client::connection(fd);
}

tvn_client::read_result try_login(tvn_client::connection &connection, const std::string &password,
                                  tvn_client::answer *answer) {
    return connection.request(tvn_client::connect_request("tester@test", password).build(), *answer,
                              10s);
}

bool journal_has(test_server &server, const std::string &line) {
    return wait_until(
        [&] {
            const std::vector<std::string> lines = journal_lines(server.root());
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        10s);
}

TEST(connection_limits, a_connection_over_the_per_address_limit_is_closed_and_logged) {
    test_server server(limited("MaxConnectionsPerAddress 2\n"));
    auto first = logged_in(server);
    auto second = logged_in(server);
    auto third = connect_to(server);
    EXPECT_TRUE(closed_without_answer(third, tvn_client::connect_request("tester@test", "secret")));
    EXPECT_TRUE(journal_has(server, "2 1 - [ Too many connections from this address]"));
    // Another address is not counted with these.
    auto elsewhere = connect_from_other_address(server);
    tvn_client::answer answer;
    ASSERT_EQ(try_login(elsewhere, "secret", &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), OK);
    // One of the two ends: the address may connect again.
    first.close();
    EXPECT_TRUE(wait_until(
        [&] {
            auto again = connect_to(server);
            tvn_client::answer reply;
            return try_login(again, "secret", &reply) == tvn_client::read_result::answer_read &&
                   reply.status() == OK;
        },
        10s));
}

TEST(connection_limits, new_connections_per_minute_are_limited_per_address) {
    test_server server(limited("MaxConnectionRatePerAddress 3\n"));
    for (int i = 0; i < 3; ++i) {
        auto connection = logged_in(server);
    }
    auto fourth = connect_to(server);
    EXPECT_TRUE(
        closed_without_answer(fourth, tvn_client::connect_request("tester@test", "secret")));
    EXPECT_TRUE(journal_has(server, "2 1 - [ Too many new connections from this address]"));
    auto elsewhere = connect_from_other_address(server);
    tvn_client::answer answer;
    ASSERT_EQ(try_login(elsewhere, "secret", &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), OK);
}

TEST(connection_limits, a_connection_over_max_concurrent_users_is_logged) {
    test_server server(limited("MaxConcurrentUsers 1\n"));
    auto session = logged_in(server);
    // Counted once the master has answered its report with a sixth worker.
    ASSERT_TRUE(wait_until([&] { return server.workers().size() == 6; }, 10s));
    auto refused = connect_to(server);
    EXPECT_TRUE(
        closed_without_answer(refused, tvn_client::connect_request("tester@test", "secret")));
    EXPECT_TRUE(journal_has(server, "2 1 - [ Too many connections in service]"));
}

TEST(connection_limits, a_refused_login_waits_for_its_answer_and_a_good_one_does_not) {
    test_server server(limited("FailedLoginDelay 2\n"));
    auto guesser = connect_to(server);
    tvn_client::answer answer;
    auto start = clock_type::now();
    ASSERT_EQ(try_login(guesser, "wrong", &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_GE(clock_type::now() - start, 1900ms);
    auto owner = connect_to(server);
    start = clock_type::now();
    ASSERT_EQ(try_login(owner, "secret", &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), OK);
    EXPECT_LT(clock_type::now() - start, 1500ms);
    // A password change with a wrong current password is a guess as well.
    auto changer = connect_to(server);
    start = clock_type::now();
    ASSERT_EQ(
        changer.request(tvn_client::changepwd_request("tester@test", "wrong", "n", true).build(),
                        answer, 10s),
        tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_GE(clock_type::now() - start, 1900ms);
}

TEST(connection_limits, an_address_that_guessed_too_often_is_shut_out_and_others_are_not) {
    test_server server(limited("FailedLoginDelay 0\nMaxFailedLoginsPerAddress 2\n"));
    for (int i = 0; i < 3; ++i) {
        auto guesser = connect_to(server);
        tvn_client::answer answer;
        ASSERT_EQ(try_login(guesser, "wrong", &answer), tvn_client::read_result::answer_read);
        EXPECT_EQ(answer.status(), WRONG_AUTH);
        EXPECT_TRUE(guesser.wait_closed(5s));
    }
    // The third refusal went past the limit: even the right password is not heard now.
    EXPECT_TRUE(wait_until(
        [&] {
            auto next = connect_to(server);
            return closed_without_answer(next,
                                         tvn_client::connect_request("tester@test", "secret"));
        },
        10s));
    EXPECT_TRUE(journal_has(server, "2 1 - [ Too many refused logins from this address]"));
    auto elsewhere = connect_from_other_address(server);
    tvn_client::answer answer;
    ASSERT_EQ(try_login(elsewhere, "secret", &answer), tvn_client::read_result::answer_read);
    EXPECT_EQ(answer.status(), OK);
}

} // namespace
