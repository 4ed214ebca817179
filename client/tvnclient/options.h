// The program's own options, before the command: where to connect, as whom, and how to
// show things.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "problem.h"
#include "session.h"

namespace tvnclient {

struct program_options {
    login_settings login;           // host, port, login and time-out; the password comes later
    bool long_listing = false;      // -x
    bool quiet = false;             // -q
    bool show_help = false;         // -h, --help
    bool show_version = false;      // --version
    std::vector<std::string> words; // the command and its arguments
};

// Options end at the first word that is not one (the command) or at "--". The login
// defaults to the environment variable TVN_USER.
problem parse_program_options(int argc, char **argv, program_options &options);
// A usage error unless `login` has the form USER@DOMAIN; `origin` ("-u", "TVN_USER") names
// where it came from.
problem check_login(std::string_view login, std::string_view origin);

} // namespace tvnclient
