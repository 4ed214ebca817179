// Passwords never come from the command line, where every user of the machine could read
// them: they come from the environment (TVN_PASSWORD, and TVN_NEW_PASSWORD for passwd) or
// are typed at the terminal without echo.
#pragma once

#include <optional>
#include <string>

#include "problem.h"

namespace tvnclient {

struct environment_secrets {
    std::optional<std::string> password;     // TVN_PASSWORD
    std::optional<std::string> new_password; // TVN_NEW_PASSWORD
};

// Takes both variables out of the environment. Their text is overwritten where the kernel
// shows the process's environment (/proc/PID/environ), so `ps e` does not print them.
environment_secrets take_environment_secrets();

// Asks at the terminal (/dev/tty, so it works with standard input redirected) with echo
// off. A problem when there is no terminal, or on Ctrl-C.
problem ask_password(const std::string &prompt, std::string &password);

} // namespace tvnclient
