// Opening sessions (CONNECT) and changing passwords (CHANGEPWD) through the module chains.
#include <gtest/gtest.h>

#include "client_session.h"

namespace {

using namespace tvn_test;
using tvn_client::changepwd_request;
using tvn_client::connect_request;

server_options with_test_modules(const std::string &server_lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

TEST(connect, a_successful_login_answers_the_session_parameters) {
    test_server server(with_test_modules("ConnectionKeepalive 77\n"));
    ASSERT_TRUE(server.running());
    auto connection = connect_to(server);
    auto answer = exchange(connection, connect_request("tester@test", "secret"));
    EXPECT_EQ(answer.header().size(), 44u);
    EXPECT_EQ(answer.method(), CONNECT);
    EXPECT_EQ(answer.status(), OK);
    EXPECT_EQ(answer.body_length(), 0u);
    EXPECT_EQ(answer.param_u32(0), 0x3040u); // SuggestedCacheLevel 0: cache level 4
    EXPECT_EQ(answer.param_u16(12), 77);     // packet offset 28
    EXPECT_EQ(answer.param_u32(4), 0u);
    // The session stays open: a second CONNECT is refused but answered.
    auto again = exchange(connection, connect_request("tester@test", "secret"));
    EXPECT_EQ(again.method(), CONNECT);
    EXPECT_EQ(again.status(), BAD_REQUEST);
    EXPECT_EQ(again.header().size(), 16u);
    auto still = exchange(connection, connect_request("tester@test", "secret"));
    EXPECT_EQ(still.status(), BAD_REQUEST);
}

TEST(connect, the_cache_level_sets_one_flag_bit) {
    test_server server(with_test_modules("SuggestedCacheLevel 4\n"));
    auto connection = connect_to(server);
    EXPECT_EQ(exchange(connection, connect_request("tester@test", "guest")).param_u32(0), 0x2140u);
}

TEST(connect, a_wrong_password_is_refused_and_ends_the_connection) {
    test_server server(with_test_modules());
    auto connection = connect_to(server);
    auto answer = exchange(connection, connect_request("tester@test", "wrong"));
    EXPECT_EQ(answer.header().size(), 16u);
    EXPECT_EQ(answer.method(), CONNECT);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(connect, a_first_request_that_is_no_connect_gets_wrong_auth_with_its_own_method) {
    test_server server(with_test_modules());
    auto connection = connect_to(server);
    auto answer = exchange(connection, tvn_client::getdir_request("/"));
    EXPECT_EQ(answer.method(), GETDIR);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(connect, a_redirect_becomes_wrong_auth) {
    test_server server(with_test_modules());
    server.root().write_file("conf/test_auth", "redirect\n");
    auto connection = connect_to(server);
    EXPECT_EQ(exchange(connection, connect_request("tester@test", "secret")).status(), WRONG_AUTH);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(connect, a_module_failure_answers_status_0_and_ends_the_connection) {
    test_server server(with_test_modules());
    server.root().write_file("conf/test_auth", "internal\n");
    auto connection = connect_to(server);
    auto answer = exchange(connection, connect_request("tester@test", "secret"));
    EXPECT_EQ(answer.header().size(), 44u);
    EXPECT_EQ(answer.status(), 0);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(connect, without_account_modules_every_login_fails) {
    test_server server;
    auto connection = connect_to(server);
    EXPECT_EQ(exchange(connection, connect_request("tester@test", "secret")).status(), WRONG_AUTH);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
    auto second = connect_to(server);
    auto answer = exchange(second, changepwd_request("tester@test", "secret", "new", true));
    EXPECT_EQ(answer.method(), CHANGEPWD);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_TRUE(second.wait_closed(ANSWER_TIMEOUT));
}

TEST(connect, the_login_splits_at_its_last_at_sign) {
    test_server server(with_test_modules());
    for (const char *login : {"test", "a@b@test", "solo@"}) {
        auto connection = connect_to(server);
        exchange(connection, connect_request(login, "x"));
        EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
    }
    auto lines = wait_journal(server.root(), 6);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "1 5 anonymous []"); // no at sign: user anonymous, domain test
    EXPECT_EQ(lines[2], "1 5 a@b []");
    EXPECT_EQ(lines[4], "1 5 solo []");
}

TEST(connect, a_client_that_leaves_after_login_writes_two_journal_lines) {
    test_server server(with_test_modules());
    { auto connection = logged_in(server); }
    auto lines = wait_journal(server.root(), 2);
    EXPECT_EQ(lines, (std::vector<std::string>{"1 1 tester []", "2 1 tester []"}));
}

TEST(changepwd, success_answers_with_the_connect_method_and_ends_the_connection) {
    test_server server(with_test_modules());
    auto connection = connect_to(server);
    auto answer = exchange(connection, changepwd_request("tester@test", "secret", "new", false));
    EXPECT_EQ(answer.header().size(), 44u);
    EXPECT_EQ(answer.method(), CONNECT);
    EXPECT_EQ(answer.status(), OK);
    EXPECT_EQ(answer.param_u32(0), 2u); // no CONNECT before it
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(changepwd, after_a_connect_with_options_1_the_flags_are_1) {
    test_server server(with_test_modules());
    auto connection = logged_in(server, 1);
    auto answer = exchange(connection, changepwd_request("tester@test", "secret", "new", true));
    EXPECT_EQ(answer.status(), OK);
    EXPECT_EQ(answer.param_u32(0), 1u);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(changepwd, a_wrong_current_password_answers_wrong_auth_with_method_16) {
    test_server server(with_test_modules());
    auto connection = connect_to(server);
    auto answer = exchange(connection, changepwd_request("tester@test", "bad", "new", true));
    EXPECT_EQ(answer.header().size(), 16u);
    EXPECT_EQ(answer.method(), CHANGEPWD);
    EXPECT_EQ(answer.status(), WRONG_AUTH);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

TEST(changepwd, a_failed_store_answers_status_0_and_ends_the_connection) {
    test_server server(with_test_modules());
    server.root().write_file("conf/test_auth", "pwfail\n");
    auto connection = connect_to(server);
    auto answer = exchange(connection, changepwd_request("tester@test", "secret", "new", true));
    EXPECT_EQ(answer.header().size(), 44u);
    EXPECT_EQ(answer.method(), CONNECT);
    EXPECT_EQ(answer.status(), 0);
    EXPECT_TRUE(connection.wait_closed(ANSWER_TIMEOUT));
}

} // namespace
