// Talking to a test server with the client library: connecting, logging in, and asserting that
// the server closed a connection without answering.
#pragma once

#include <string>
#include <vector>

#include "test_server.h"
#include "tolvane/answer.h"
#include "tolvane/connection.h"
#include "tolvane/packet.h"

namespace tvn_test {

inline constexpr auto ANSWER_TIMEOUT = std::chrono::seconds(10);

// A connection to the server; fails the test when it cannot be made.
tvn_client::connection connect_to(const test_server &server);

// Sends the packet and reads one answer; fails the test when no answer comes.
tvn_client::answer exchange(tvn_client::connection &connection,
                            const tvn_client::packet_builder &packet);

// Sends the packet; true when the server then closes the connection without a byte.
bool closed_without_answer(tvn_client::connection &connection,
                           const tvn_client::packet_builder &packet);

// A connection with an open session as tester@test (test_auth_module.so).
tvn_client::connection logged_in(const test_server &server, std::uint32_t options = 0,
                                 const std::string &password = "secret");

// The lines test_logger_module.so wrote so far.
std::vector<std::string> journal_lines(const temp_root &root);
// Waits until the journal holds at least count lines; returns them.
std::vector<std::string> wait_journal(const temp_root &root, size_t count);

} // namespace tvn_test
