// The commands of tvnctl; each returns the program's exit status.
#pragma once

#include <string>

#include "command_line.h"

namespace tvnctl {

inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_NOT_RUNNING = 3; // status: no server runs on the root

// root is the server root as server_root() spells it.
int start_server(const invocation &options, const std::string &root);
int stop_server(const invocation &options, const std::string &root);
int check_configuration(const invocation &options, const std::string &root);
int show_status(const std::string &root);
int run_server(const std::string &root);

} // namespace tvnctl
