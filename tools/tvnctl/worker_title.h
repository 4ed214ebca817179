// What a worker's title tells: waiting for a connection, or serving one (client, login, since
// when, and the request in service).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvnctl {

struct connection_title {
    std::string client; // the client's address
    std::string since;  // "YYYY-MM-DD HH:MM:SS"
    std::string method; // the request in service, or "login" before the first one
    std::string kind;   // "owner", "guest", or "-" before the session is open
    std::string login;  // "user@domain"; empty before the session is open
};

// The connection a title "tvn: ADDRESS since DATE TIME METHOD KIND LOGIN" names; none for any
// other title ("tvn: waiting", or the master's, which a worker shows until it names itself).
std::optional<connection_title> parse_connection_title(std::string_view title);

// The login as status shows it: "user@domain (owner)", "user@domain (guest)" or "(logging in)".
std::string describe_login(const connection_title &connection);

// The text with every control byte shown as "?": titles come partly from clients.
std::string printable(std::string_view text);

} // namespace tvnctl
