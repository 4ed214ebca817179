// tvnsysadduser <filename>: adds a host account (a guest password and directories for an
// existing host user) to a host-account database and gives its directories to that user.
#include <pwd.h>

#include <cstdio>
#include <new>
#include <string>

#include "aux_adduser.h"

namespace {

// The host user's own identity owns the directories.
bool take_host_identity(new_account &account) {
    const passwd *user = getpwnam(account.user.c_str());
    if (user == nullptr) {
        std::printf("The '%s' user does not exist.\n", account.user.c_str());
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

int add_host_account(const char *database) {
    if (database_is_directory(database)) return tool_failure;
    // Guest hash, then home, private, public and web directory.
    new_account account(database, record_line({traditional_hash_length, 0, 0, 0, 0}));
    if (!insert_user(account) || !take_host_identity(account) ||
        !ins_password(account, "Enter the new guest password") || !home_question(account) ||
        !append_account(account))
        return tool_failure;
    return tool_success;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        print_usage();
        return tool_failure;
    }
    try {
        return add_host_account(argv[1]);
    } catch (const std::bad_alloc &) {
        print_no_space();
        return tool_failure;
    }
}
