// The command line: tvnctl COMMAND [options] [ROOT].
#pragma once

#include <string>

namespace tvnctl {

enum class command { start, stop, check, status, run };

struct invocation {
    command what = command::status;
    const char *root = nullptr; // as given; null for the default root
    bool drain = false;         // stop: let finished sessions end first
    int timeout_seconds = 30;   // start, stop, check: how long to wait
    std::string tvn;            // start: the launcher to run; empty: found beside tvnctl or in PATH
};

inline constexpr const char *USAGE =
    "usage: tvnctl start|stop|check|status|run [--drain] [--timeout SECONDS] [--tvn PATH] [ROOT]";

// Reads the arguments after the program's name. False with *error set (one line) when the
// command or an option is wrong.
bool parse_command_line(int argc, char **argv, invocation *parsed, std::string *error);

} // namespace tvnctl
