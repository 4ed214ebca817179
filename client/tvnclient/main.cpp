// tvnclient: the command-line client. Runs one command, or the shell, over one session and
// turns the outcome into an exit status.
#include <cstdio>

#include "commands.h"
#include "interrupt.h"
#include "options.h"
#include "password.h"
#include "program_info.h"
#include "shell.h"

namespace {

using namespace tvnclient;

int fail(problem failed) {
    report(failed);
    if (failed.status == exit_status::usage) std::fputs("Try 'tvnclient --help'.\n", stderr);
    return exit_code(failed);
}

} // namespace

int main(int argc, char **argv) {
    // First of all, before anything could copy the environment.
    const environment_secrets secrets = take_environment_secrets();
    // Whatever follows them: the manual and the version need no valid command line.
    if (answer_program_info(argc, argv, "tvnclient", program_manual().c_str())) return 0;
    install_interrupt_handler();

    program_options options;
    if (problem failed = parse_program_options(argc, argv, options)) return fail(failed);
    if (options.show_help) {
        std::fputs(program_manual().c_str(), stdout);
        return 0;
    }
    if (options.show_version) {
        std::puts("tvnclient " TVN_VERSION);
        return 0;
    }
    if (options.words.empty()) return fail(usage_error("no command given"));

    const command_info *entry = nullptr;
    command_line parsed;
    if (problem failed = prepare_command(options.words, false, entry, parsed)) return fail(failed);
    if (entry == nullptr) return 0; // --help

    session remote;
    command_context context{remote, options.login, secrets};
    context.long_listing = options.long_listing;
    context.quiet = options.quiet;
    if (entry->needs == command_needs::nothing) {
        problem failed = entry->run(context, parsed);
        return failed ? fail(failed) : 0;
    }

    if (options.login.login.empty())
        return fail(usage_error("no login: give -u USER@DOMAIN or set TVN_USER"));
    if (problem failed = check_login(options.login.login, "TVN_USER")) return fail(failed);
    if (secrets.password) {
        options.login.password = *secrets.password;
    } else if (problem failed = ask_password("Password for " + options.login.login + ": ",
                                             options.login.password)) {
        return fail(failed);
    }
    problem failed = entry->needs == command_needs::connection ? remote.connect(options.login)
                                                               : remote.open(options.login);
    if (failed) return fail(failed);

    if (entry->name == "shell") {
        const int status = run_shell(context);
        remote.end();
        return status;
    }
    failed = entry->run(context, parsed);
    remote.end();
    return failed ? fail(failed) : 0;
}
