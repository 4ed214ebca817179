// tvnctl: the administrator's front for tolvane (start, stop, check, status, run).
//
//   tvnctl COMMAND [options] [ROOT]
#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "commands.h"
#include "program_info.h"
#include "root_layout.h"

namespace {

constexpr const char *HELP =
    "Usage: tvnctl COMMAND [options] [ROOT]\n"
    "Starts, stops, checks and shows the tolvane server of the server root ROOT\n"
    "(default /usr/local/tolvane/; a relative root is taken from the current directory).\n"
    "\n"
    "Commands:\n"
    "  start [--timeout SECONDS] [--tvn PATH] [ROOT]\n"
    "         start the server with tvn -d ROOT and wait until it listens (30 s unless\n"
    "         --timeout says otherwise); print where it listens, or why it did not start\n"
    "  stop [--drain] [--timeout SECONDS] [ROOT]\n"
    "         stop the server (INT; QUIT with --drain, so that finished sessions end first)\n"
    "         and wait until its master and every worker are gone\n"
    "  check [--timeout SECONDS] [ROOT]\n"
    "         read conf/tolvane.conf and load the modules as a start would, without\n"
    "         listening; print each message with the line it is about\n"
    "  status [ROOT]\n"
    "         the master, its uptime, its idle and busy workers and the connections in service\n"
    "  run [ROOT]\n"
    "         run the server in the foreground, for a service manager: output on standard\n"
    "         output, this process is the master; TERM stops it\n"
    "\n"
    "Exit status: 0 done; 1 failed; 2 wrong command line; 3 (status) no server runs.\n"
    "\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "See tvnctl(8).\n";

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        char *asked[] = {argv[0], argv[i]};
        if (answer_program_info(2, asked, "tvnctl", HELP)) return tvnctl::EXIT_DONE;
    }
    tvnctl::invocation options;
    std::string error;
    if (!tvnctl::parse_command_line(argc, argv, &options, &error)) {
        std::fprintf(stderr, "tvnctl: %s; %s\n", error.c_str(), tvnctl::USAGE);
        return tvnctl::EXIT_USAGE;
    }
    const std::string root = tvnctl::server_root(options.root);
    switch (options.what) {
    case tvnctl::command::start: return tvnctl::start_server(options, root);
    case tvnctl::command::stop: return tvnctl::stop_server(options, root);
    case tvnctl::command::check: return tvnctl::check_configuration(options, root);
    case tvnctl::command::status: return tvnctl::show_status(root);
    case tvnctl::command::run: return tvnctl::run_server(root);
    }
    return tvnctl::EXIT_USAGE;
}
