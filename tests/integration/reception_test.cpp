// Malformed requests end the connection without an answer; time-outs drop silent clients.
#include <gtest/gtest.h>

#include "client_session.h"

namespace {

using namespace tvn_test;
using tvn_client::packet_builder;

server_options logged_options(const std::string &server_lines = "") {
    server_options options;
    options.modules = {"test_auth_module.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

class reception_test : public ::testing::Test {
protected:
    // Sends the packet on a fresh connection; true when it is closed without an answer. The
    // journal's final line for the connection then tells why.
    bool refused(const packet_builder &packet, bool after_login = false) {
        auto connection = after_login ? logged_in(server) : connect_to(server);
        return closed_without_answer(connection, packet);
    }
    std::string last_journal_line() {
        std::vector<std::string> lines;
        wait_until([&] { return (lines = journal_lines(server.root())).size() > seen; }, 10s);
        seen = lines.size();
        return lines.empty() ? "" : lines.back();
    }
    test_server server{logged_options()};
    size_t seen = 0;
};

TEST_F(reception_test, a_wrong_magic_byte_closes_the_connection) {
    EXPECT_TRUE(refused(tvn_client::connect_request("tester@test", "secret").magic("SISQ")));
    EXPECT_EQ(last_journal_line(), "2 1 - [ Bad Header packet]");
    EXPECT_TRUE(refused(tvn_client::getdir_request("/Public").magic("XISP"), true));
}

TEST_F(reception_test, a_version_other_than_1_0_closes_the_connection) {
    EXPECT_TRUE(refused(tvn_client::connect_request("tester@test", "secret").minor_version(1)));
    EXPECT_EQ(last_journal_line(), "2 1 - [ Bad Header packet]");
    EXPECT_TRUE(refused(tvn_client::connect_request("tester@test", "secret").major_version(2)));
}

TEST_F(reception_test, header_lengths_out_of_bounds_close_the_connection) {
    EXPECT_TRUE(refused(tvn_client::keepalive_request().header_length(10001)));
    EXPECT_TRUE(refused(tvn_client::keepalive_request().header_length(15)));
    EXPECT_EQ(last_journal_line(), "2 1 - [ Bad Header packet]");
}

TEST_F(reception_test, a_write_announcing_too_much_data_closes_the_connection) {
    std::vector<std::uint8_t> data(16);
    EXPECT_TRUE(refused(tvn_client::write_request(1, 0, data).body_length(500001), true));
    EXPECT_EQ(last_journal_line(), "2 1 tester [Body too long for write method]");
}

TEST_F(reception_test, a_body_on_any_other_method_closes_the_connection) {
    EXPECT_TRUE(refused(tvn_client::getdir_request("/").append_body("x"), true));
}

TEST_F(reception_test, short_parameter_blocks_close_the_connection) {
    EXPECT_TRUE(refused(packet_builder(GETDIR).put_u32(0), true)); // header_length 20
    EXPECT_EQ(last_journal_line(), "2 1 tester [ Bad Body packet]");
    EXPECT_TRUE(refused(packet_builder(CONNECT).put_u32(0).put_u16(1).put_u16(0)));
    EXPECT_TRUE(refused(packet_builder(READ).put_u32(0).put_u32(1).put_u32(0), true));
    EXPECT_TRUE(refused(packet_builder(CLOSE).put_u32(0), true));
    EXPECT_TRUE(
        refused(packet_builder(COPYFILE).put_u32(0).put_u32(1).put_u32(0).put_u32(5), true));
    EXPECT_TRUE(refused(packet_builder(CHANGEPWD).put_u32(1).put_field("secret", 128)));
}

TEST_F(reception_test, a_rename_without_a_second_path_closes_the_connection) {
    EXPECT_TRUE(
        refused(packet_builder(RENAME).put_u32(0).put_text("/Public/a").put_text(""), true));
    EXPECT_TRUE(refused(packet_builder(RENAME).put_u32(0).put_text("/Public/a", false), true));
}

TEST_F(reception_test, lengths_that_exceed_the_limits_or_the_data_close_the_connection) {
    EXPECT_TRUE(refused(tvn_client::read_request(1, 0, 500001), true));
    EXPECT_TRUE(refused(tvn_client::read_request(1, 0, -1), true));
    std::vector<std::uint8_t> data(10);
    auto lying =
        packet_builder(WRITE).put_u32(0).put_u32(1).put_u32(0).put_u32(11).append_body(data);
    EXPECT_TRUE(refused(lying, true));
    EXPECT_TRUE(refused(tvn_client::copyfile_request(1, 0, 500001, "/Public/a"), true));
}

TEST_F(reception_test, an_empty_login_or_one_beginning_with_the_at_sign_closes_the_connection) {
    EXPECT_TRUE(refused(tvn_client::connect_request("", "secret")));
    EXPECT_TRUE(refused(tvn_client::connect_request("@test", "secret")));
    EXPECT_TRUE(refused(tvn_client::changepwd_request("@test", "secret", "n", true)));
}

TEST_F(reception_test, disconnect_and_unassigned_methods_close_the_connection) {
    EXPECT_TRUE(refused(tvn_client::disconnect_request(), true));
    EXPECT_EQ(last_journal_line(), "2 1 tester [ Bad Body packet]");
    for (std::uint8_t method : {0, 4, 10, 17, 255})
        EXPECT_TRUE(refused(packet_builder(method).put_u32(0).put_text("/Public"), true))
            << int(method);
}

TEST_F(reception_test, settime_needs_a_session_and_a_path) {
    auto before_login = connect_to(server);
    EXPECT_EQ(exchange(before_login, tvn_client::settime_request("/Public/a", 1, 2)).status(),
              WRONG_AUTH);
    EXPECT_TRUE(before_login.wait_closed(10s));
    EXPECT_TRUE(refused(packet_builder(SETTIME).put_u32(0).put_u32(1).put_u32(2), true));
    EXPECT_EQ(last_journal_line(), "2 1 tester [ Bad Body packet]");
}

TEST_F(reception_test, keepalive_gets_no_bytes_and_no_journal_line) {
    auto connection = logged_in(server);
    ASSERT_TRUE(connection.send_all(tvn_client::keepalive_request().build()));
    // A longer KEEPALIVE is accepted and its parameters ignored.
    ASSERT_TRUE(connection.send_all(tvn_client::keepalive_request().put_u32(7).build()));
    EXPECT_TRUE(connection.nothing_received(std::chrono::milliseconds(500)));
    EXPECT_EQ(exchange(connection, tvn_client::connect_request("tester@test", "secret")).status(),
              BAD_REQUEST);
    EXPECT_EQ(wait_journal(server.root(), 2),
              (std::vector<std::string>{"1 1 tester []", "1 2 tester []"}));
}

TEST(reception_timeouts, a_silent_client_is_dropped_after_the_keepalive_timeout) {
    test_server server(logged_options("ConnectionKeepaliveTimeout 4\n"));
    auto connection = connect_to(server);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(connection.wait_closed(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3s);
    // Silent in the middle of a packet: dropped as well.
    auto partial = connect_to(server);
    auto packet = tvn_client::connect_request("tester@test", "secret").build();
    ASSERT_TRUE(partial.send_all(std::span(packet).first(20)));
    EXPECT_TRUE(partial.wait_closed(10s));
}

TEST(reception_timeouts, keepalives_alone_count_toward_the_idle_limit) {
    // No keep-alive time-out: only the idle count (300 s, that is 150 ticks) can drop a client.
    test_server server(logged_options("ConnectionKeepaliveTimeout 0\n"));
    auto below = logged_in(server);
    auto above = logged_in(server);
    auto keepalives = [](tvn_client::connection &connection, int count) {
        std::vector<std::uint8_t> burst;
        for (int i = 0; i < count; ++i) {
            auto one = tvn_client::keepalive_request().build();
            burst.insert(burst.end(), one.begin(), one.end());
        }
        ASSERT_TRUE(connection.send_all(burst));
    };
    keepalives(below, 140);
    keepalives(above, 151);
    // The first 2-second silence adds a tick: 151 + 1 passes the limit of 150; 140 is far below.
    EXPECT_TRUE(above.wait_closed(10s));
    EXPECT_TRUE(below.nothing_received(std::chrono::milliseconds(100)));
    EXPECT_EQ(exchange(below, tvn_client::connect_request("tester@test", "secret")).status(),
              BAD_REQUEST); // a real request resets the count
}

} // namespace
