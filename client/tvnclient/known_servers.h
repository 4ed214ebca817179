// The certificates tvnclient trusts on first use, one line per server in the user's
// configuration directory ($XDG_CONFIG_HOME/tolvane/known_servers, by default
// ~/.config/tolvane/known_servers): "HOST PORT FINGERPRINT", the SHA-256 fingerprint of the
// certificate the server presented when it was accepted. Lines starting with '#' are
// comments. The directory is made 0700 and the file 0600 when they do not exist.
#pragma once

#include <cstdint>
#include <string>

namespace tvnclient {

// Where the file is; empty when neither XDG_CONFIG_HOME nor a home directory is known.
std::string known_servers_file();

struct known_server {
    enum class match { unknown, same, changed } found = match::unknown;
    std::string remembered; // the fingerprint on file, when changed
    int line = 0;           // its line number, when changed
};

// What the file says of the server: its certificate as remembered, another one, or nothing.
known_server look_up_server(const std::string &file, const std::string &host, std::uint16_t port,
                            const std::string &fingerprint);

// Appends the server's line, making the directory and the file as needed. Empty on success,
// else what went wrong.
std::string remember_server(const std::string &file, const std::string &host, std::uint16_t port,
                            const std::string &fingerprint);

} // namespace tvnclient
