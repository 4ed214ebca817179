// Test support: a client's part of logging in and changing passwords over the wire, from any
// loopback address (so that tests behind a balancer can tell their clients apart), with every
// outcome a server may give, including none.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tolvane/connection.h"

namespace tvn_test {

// Connects to 127.0.0.1:port from the loopback address `source` ("" : the system's choice).
// Empty when the connection cannot be made in time.
std::optional<tvn_client::connection> connect_from(const std::string &source, std::uint16_t port,
                                                   std::chrono::milliseconds timeout);

enum class wire_outcome {
    accepted,  // the answer the request wanted (a session; a changed password)
    refused,   // an answer that refuses it (a wrong password, a failed change)
    no_answer, // the connection could not be made, or ended before a whole answer
};

// A CONNECT of user@domain; with accepted, *session (when given) is the open session.
wire_outcome try_login(std::uint16_t port, const std::string &source, const std::string &login,
                       const std::string &password,
                       std::optional<tvn_client::connection> *session = nullptr);

// A CHANGEPWD of the owner's (owner) or the guest's password, with the owner's password.
wire_outcome try_change(std::uint16_t port, const std::string &source, const std::string &login,
                        const std::string &owner_password, const std::string &new_password,
                        bool owner);

// Runs tvnadduser (program) in working directory `root` (whose conf names the service account)
// for database, typing the name, both passwords twice and the home directory. True when it
// ended with status 0; *output gets what it printed.
bool add_user_with_tool(const std::string &program, const std::string &root,
                        const std::string &database, const std::string &name,
                        const std::string &owner_password, const std::string &guest_password,
                        const std::string &home, std::string *output);

} // namespace tvn_test
