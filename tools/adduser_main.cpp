// tvnadduser [-m METHOD] <filename> <root directory>: adds a list account to an account
// database and creates its directories for the list-account module's service account.
#include <new>

#include "adduser_owner.h"
#include "aux_adduser.h"
#include "program_info.h"

namespace {

constexpr const char *HELP =
    "Usage: tvnadduser [-m METHOD] <filename> <root directory>\n"
    "Adds a list account (listacct.so) to the account database <filename>. Asks for the\n"
    "login name, the owner and the guest password (each twice, without echo), and a home\n"
    "directory or, left empty, the private, public and web directories; creates the missing\n"
    "directories for the service account that TvnUser and TvnGroup name in\n"
    "<root directory>/conf/tolvane.conf (nobody when absent), then appends the record.\n"
    "\n"
    "  -m METHOD  hash the passwords with md5 (the default), sha512 or yescrypt\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status 0 when the record was written, 255 otherwise. See tvnadduser(8).\n";

int add_list_account(const char *database, const char *root_dir, salt_form form) {
    if (database_is_directory(database)) return tool_failure;
    new_account account(database, record_line({}));
    account.hash_form = form;
    const std::size_t hash_length = password_field_length(account);
    if (hash_length == 0) return tool_failure;
    // Owner and guest hash, then home, private, public and web directory.
    account.line = record_line({hash_length, hash_length, 0, 0, 0, 0});
    if (!insert_user(account) || !set_id(root_dir, account) ||
        !ins_password(account, "Enter the new owner password") ||
        !ins_password(account, "Enter the new guest password") ||
        !directory_steps(account, "Home directory    :  ") || !append_account(account))
        return tool_failure;
    return tool_success;
}

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvnadduser", HELP)) return 0;
    salt_form form = salt_form::md5;
    if (!take_method(&argc, &argv, &form)) return tool_failure;
    if (argc != 3) {
        print_usage();
        return tool_failure;
    }
    try {
        return add_list_account(argv[1], argv[2], form);
    } catch (const std::bad_alloc &) {
        print_no_space();
        return tool_failure;
    }
}
