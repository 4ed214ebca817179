// tvnmount: a tolvane session's areas as a local directory, through FUSE.
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "mount_help.h"
#include "mount_options.h"
#include "mount_runner.h"
#include "program_info.h"
#include "tvnclient/interrupt.h"
#include "tvnclient/password.h"
#include "unmount.h"

namespace {

using namespace tvnclient;

int fail(problem failed) {
    std::fprintf(stderr, "tvnmount: %s\n", describe(failed).c_str());
    if (failed.status == exit_status::usage) std::fputs("Try 'tvnmount --help'.\n", stderr);
    return exit_code(failed);
}

} // namespace

int main(int argc, char **argv) {
    // First of all, before anything could copy the environment.
    const environment_secrets secrets = take_environment_secrets();
    tvnclient::set_program_name("tvnmount");
    if (answer_program_info(argc, argv, "tvnmount", tvnmount::mount_manual())) return 0;
    // Ctrl-C at the password prompt gives the terminal its echo back.
    install_interrupt_handler();

    tvnmount::mount_options options;
    if (problem failed = tvnmount::parse_mount_options(argc, argv, options)) return fail(failed);
    if (options.show_help) {
        std::fputs(tvnmount::mount_manual(), stdout);
        return 0;
    }
    if (options.show_version) {
        std::puts("tvnmount " TVN_VERSION);
        return 0;
    }
    if (!options.unmount.empty()) return tvnmount::unmount_mount_point(options.unmount);
    if (options.login.login.empty())
        return fail(usage_error("no login: give -u USER@DOMAIN or set TVN_USER"));
    // libfuse unmounts by this path after the daemon has moved to "/".
    char absolute[PATH_MAX];
    if (realpath(options.mount_point.c_str(), absolute) == nullptr)
        return fail(local_failure(errno, options.mount_point));
    options.mount_point = absolute;
    if (secrets.password) {
        options.login.password = *secrets.password;
    } else if (problem failed = ask_password("Password for " + options.login.login + ": ",
                                             options.login.password)) {
        return fail(failed);
    }
    return tvnmount::run_mount(options);
}
