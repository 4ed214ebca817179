// tvnadduser <filename> <root directory>: adds a list account to an account database and
// creates its directories for the list-account module's service account.
#include <new>

#include "adduser_owner.h"
#include "aux_adduser.h"

namespace {

int add_list_account(const char *database, const char *root_dir) {
    if (database_is_directory(database)) return tool_failure;
    // Owner and guest hash, then home, private, public and web directory.
    new_account account(database, record_line({traditional_hash_length, traditional_hash_length,
                                               0, 0, 0, 0}));
    if (!insert_user(account) || !set_id(root_dir, account) ||
        !ins_password(account, "Enter the new owner password") ||
        !ins_password(account, "Enter the new guest password") ||
        !directory_steps(account, "Home directory    :  ") ||
        !append_account(account))
        return tool_failure;
    return tool_success;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        print_usage();
        return tool_failure;
    }
    try {
        return add_list_account(argv[1], argv[2]);
    } catch (const std::bad_alloc &) {
        print_no_space();
        return tool_failure;
    }
}
