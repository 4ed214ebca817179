// Clients that try to hold a worker: trickling senders, oversize requests before login, clients
// that never log in and clients that never read their answers are all dropped within the
// time-outs, while a legitimate login goes on being served.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "client_session.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using tvn_client::packet_builder;
using clock_type = std::chrono::steady_clock;

server_options logged_options(const std::string &server_lines) {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "test_logger_module.so"};
    options.server_lines = server_lines;
    return options;
}

std::string last_line(const temp_root &root, size_t count) {
    const std::vector<std::string> lines = wait_journal(root, count);
    return lines.size() >= count ? lines[count - 1] : "";
}

TEST(slow_clients, a_trickling_sender_is_dropped_when_its_packet_takes_too_long) {
    test_server server(logged_options("ConnectionKeepaliveTimeout 4\n"));
    auto trickle = connect_to(server);
    const auto packet = tvn_client::connect_request("tester@test", "secret").build();
    const auto start = clock_type::now();
    bool closed = false;
    // One byte every 1.5 s: never a 2-second silence, yet the packet's 4 seconds run out.
    for (size_t sent = 0; sent < packet.size() && !closed; ++sent) {
        ASSERT_TRUE(trickle.send_all(std::span(packet).subspan(sent, 1)));
        if (sent == 1) { // meanwhile somebody else logs in and is served
            auto other = logged_in(server);
            EXPECT_EQ(exchange(other, tvn_client::getdir_request("/")).status(), OK);
        }
        closed = trickle.wait_closed(1500ms);
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(clock_type::now() - start, 8s);
    EXPECT_GE(clock_type::now() - start, 3s);
    // The other session's lines, then the trickler's final line with its reason.
    const std::vector<std::string> lines = wait_journal(server.root(), 5);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "2 1 - [ Request not received in time]"),
              lines.end());
}

TEST(slow_clients, requests_before_login_are_refused_without_reading_what_they_announce) {
    test_server server(logged_options(""));
    // A WRITE announcing 500000 bytes and a GETDIR announcing a 10000-byte header: the
    // refused-login answer comes at once, though not one byte of either has been sent.
    const std::vector<packet_builder> announced = {
        packet_builder(WRITE).header_length(32).body_length(500000),
        packet_builder(GETDIR).header_length(10000),
    };
    for (const packet_builder &request : announced) {
        auto connection = connect_to(server);
        const auto header = request.build();
        ASSERT_TRUE(connection.send_all(std::span(header).first(16)));
        tvn_client::answer answer;
        ASSERT_EQ(connection.read_answer(answer, 2s), tvn_client::read_result::answer_read);
        EXPECT_EQ(answer.status(), WRONG_AUTH);
        EXPECT_EQ(answer.method(), header[6]);
        EXPECT_TRUE(connection.wait_closed(5s));
    }
    // A DISCONNECT before login is never answered, as on an open session.
    auto connection = connect_to(server);
    EXPECT_TRUE(closed_without_answer(connection, packet_builder(DISCONNECT).header_length(5000)));
    EXPECT_EQ(last_line(server.root(), 5), "2 1 - [ Bad Body packet]");
}

TEST(slow_clients, a_connection_that_never_logs_in_is_dropped_after_the_grace_time) {
    test_server server(logged_options("LoginGraceTime 3\n"));
    auto idle = connect_to(server);
    auto session = logged_in(server);
    const auto start = clock_type::now();
    EXPECT_TRUE(idle.wait_closed(10s));
    EXPECT_GE(clock_type::now() - start, 2s);
    EXPECT_EQ(last_line(server.root(), 2), "2 1 - [ No login within the grace time]");
    // The grace time ends nothing once a session is open.
    EXPECT_TRUE(session.nothing_received(1500ms));
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
}

TEST(slow_clients, a_client_that_reads_no_answers_is_dropped_and_its_worker_freed) {
    test_server server(logged_options("ConnectionKeepaliveTimeout 3\nMaxConcurrentUsers 1\n"));
    {
        std::ofstream file(server.root().file("home/Public/big"), std::ios::binary);
        file << std::string(1 << 20, 'x');
    }
    auto reader = logged_in(server);
    tvn_client::answer opened = exchange(reader, tvn_client::open_request("/Public/big", 1));
    ASSERT_EQ(opened.status(), OK);
    // 60 answers of 500000 bytes: far more than the socket buffers hold, and never read.
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 60; ++i) {
        const auto one = tvn_client::read_request(*opened.param_u32(4), 0, 500000).build();
        burst.insert(burst.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(reader.send_all(burst));
    // The READ whose answer could not leave says why, and the connection's final line follows.
    const std::string stalled =
        "6 1 tester [ Error sending the answer. The client read nothing in time.]";
    std::vector<std::string> lines;
    ASSERT_TRUE(wait_until(
        [&] {
            lines = journal_lines(server.root());
            return lines.size() >= 2 && lines[lines.size() - 2] == stalled &&
                   lines.back() == "2 1 tester []";
        },
        15s))
        << (lines.empty() ? "" : lines.back());
    // Its worker is gone: the only connection slot serves the next login.
    EXPECT_TRUE(wait_until(
        [&] {
            auto next = connect_to(server);
            tvn_client::answer answer;
            return next.request(tvn_client::connect_request("tester@test", "secret").build(),
                                answer, 2s) == tvn_client::read_result::answer_read &&
                   answer.status() == OK;
        },
        10s));
}

TEST(slow_clients, further_connects_on_an_open_session_keep_no_memory) {
    test_server server(logged_options(""));
    auto session = logged_in(server);
    // Each refused CONNECT used to keep four blocks of the 100-slot connection pool.
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(exchange(session, tvn_client::connect_request("tester@test", "secret")).status(),
                  BAD_REQUEST)
            << i;
    EXPECT_EQ(exchange(session, tvn_client::getdir_request("/")).status(), OK);
}

TEST(slow_clients, a_copyfile_whose_parameters_end_after_the_reserved_bytes_is_answered) {
    test_server server(logged_options(""));
    auto session = logged_in(server);
    // header_length 48: the source path is empty, and nothing is read from a null text.
    const auto copy =
        packet_builder(COPYFILE).put_u32(0).put_u32(1).put_u32(0).put_u32(5).put_field("", 16);
    EXPECT_EQ(exchange(session, copy).status(), INVALID_HANDLE);
}

} // namespace
