// tvnsysadduser [-m METHOD] <filename>: adds a host account (a guest password and directories
// for an existing host user) to a host-account database and gives its directories to that
// user.
#include <pwd.h>

#include <cstdio>
#include <new>
#include <string>

#include "aux_adduser.h"
#include "program_info.h"

namespace {

constexpr const char *HELP =
    "Usage: tvnsysadduser [-m METHOD] <filename>\n"
    "Adds a host account (hostacct.so) to the host-account database <filename> for a user\n"
    "that exists on this host (never root). Asks for the login name, the guest password\n"
    "(twice, without echo; the owner password is the host's own) and whether to use\n"
    "/home/NAME or three directories of their own; creates the missing directories for that\n"
    "user, then appends the record.\n"
    "\n"
    "  -m METHOD  hash the guest password with md5 (the default), sha512 or yescrypt\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status 0 when the record was written, 255 otherwise. See tvnsysadduser(8).\n";

// The host user's own identity owns the directories. Root (user id 0, under any name) is
// never a host account: its login would leave a worker running as root.
bool take_host_identity(new_account &account) {
    const passwd *user = getpwnam(account.user.c_str());
    if (user == nullptr) {
        std::printf("The '%s' user does not exist.\n", account.user.c_str());
        std::fflush(stdout);
        return false;
    }
    if (user->pw_uid == 0) {
        std::printf("The '%s' user has user id 0 (root): it can't be a host account.\n",
                    account.user.c_str());
        std::fflush(stdout);
        return false;
    }
    account.user_id = user->pw_uid;
    account.group_id = user->pw_gid;
    return true;
}

// "y": the home directory is /home/ and the login name; "n": three directories of their own.
bool home_question(new_account &account) {
    for (;;) {
        std::string answer;
        if (!ask("Do you want to use system home directory (y/n)? :  ", &answer)) {
            print_cannot_go_on();
            return false;
        }
        if (answer == "n") {
            account.line.add("");
            return separate_directory_steps(account);
        }
        if (answer == "y") {
            const std::string home = "/home/" + account.user;
            if (!account.line.add(home)) {
                print_too_long();
                print_cannot_go_on();
                return false;
            }
            if (!make_home(account, home)) {
                print_cannot_go_on();
                return false;
            }
            for (int field = 0; field < 3; ++field) account.line.add("");
            return true;
        }
        std::printf("Please, answer 'y' (yes) or 'n' (no).\n");
        std::fflush(stdout);
    }
}

int add_host_account(const char *database, salt_form form) {
    if (database_is_directory(database)) return tool_failure;
    new_account account(database, record_line({}));
    account.hash_form = form;
    const std::size_t hash_length = password_field_length(account);
    if (hash_length == 0) return tool_failure;
    // Guest hash, then home, private, public and web directory.
    account.line = record_line({hash_length, 0, 0, 0, 0});
    if (!insert_user(account) || !take_host_identity(account) ||
        !ins_password(account, "Enter the new guest password") || !home_question(account) ||
        !append_account(account))
        return tool_failure;
    return tool_success;
}

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvnsysadduser", HELP)) return 0;
    salt_form form = salt_form::md5;
    if (!take_method(&argc, &argv, &form)) return tool_failure;
    if (argc != 2) {
        print_usage();
        return tool_failure;
    }
    try {
        return add_host_account(argv[1], form);
    } catch (const std::bad_alloc &) {
        print_no_space();
        return tool_failure;
    }
}
