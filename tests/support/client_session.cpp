// Talking to a test server with the client library.
#include "client_session.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tvn_test {

tvn_client::connection connect_to(const test_server &server) {
    auto connection = tvn_client::connection::connect_to("127.0.0.1", server.port(), 5s);
    EXPECT_TRUE(connection.has_value()) << "cannot connect to port " << server.port();
    return connection ? std::move(*connection) : tvn_client::connection{};
}

tvn_client::answer exchange(tvn_client::connection &connection,
                            const tvn_client::packet_builder &packet) {
    tvn_client::answer answer;
    EXPECT_EQ(connection.request(packet.build(), answer, ANSWER_TIMEOUT),
              tvn_client::read_result::answer_read);
    return answer;
}

bool closed_without_answer(tvn_client::connection &connection,
                           const tvn_client::packet_builder &packet) {
    if (!connection.send_all(packet.build())) return connection.wait_closed(ANSWER_TIMEOUT);
    return connection.wait_closed(ANSWER_TIMEOUT);
}

tvn_client::connection logged_in(const test_server &server, std::uint32_t options,
                                 const std::string &password) {
    auto connection = connect_to(server);
    auto answer =
        exchange(connection, tvn_client::connect_request("tester@test", password, options));
    EXPECT_EQ(answer.status(), OK);
    return connection;
}

std::vector<std::string> journal_lines(const temp_root &root) {
    std::istringstream text(root.read_file("log/test_journal"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> wait_journal(const temp_root &root, size_t count) {
    std::vector<std::string> lines;
    wait_until([&] { return (lines = journal_lines(root)).size() >= count; }, 10s);
    return lines;
}

} // namespace tvn_test
