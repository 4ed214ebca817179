// tvnpasswd [-m METHOD] <user_name> <filename>: sets field 1 of a user's record, the guest
// password of a host account or the owner password of a list account.
#include <cstdio>

#include "aux_passwd.h"
#include "program_info.h"

namespace {

constexpr const char *HELP =
    "Usage: tvnpasswd [-m METHOD] <user_name> <filename>\n"
    "Sets field 1 of a user's record in the database <filename>, asking for the password\n"
    "twice without echo: the guest password of a host account, or the owner password of a\n"
    "list account. For root only; run it in the server root, where tvn_aux_file keeps it and\n"
    "the server's own password changes apart.\n"
    "\n"
    "  -m METHOD  hash the password with md5 (the default), sha512 or yescrypt\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status 0 when the database was rewritten, 255 otherwise. See tvnpasswd(8).\n";

const passwd_texts texts{
    "Usage :  tvnpasswd <user_name> <filename>\n",
    "Sorry, They don't match\n",
    "I can't open aux file\n",
    "Error reading the passwd file\n",
    "Error reading the passwd file\n",
};

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvnpasswd", HELP)) return 0;
    if (!run_by_superuser()) return passwd_failure;
    salt_form form = salt_form::md5;
    if (!take_method(texts, &argc, &argv, &form)) return passwd_failure;
    if (argc < 3) {
        std::fputs(texts.usage, stdout);
        return passwd_failure;
    }
    if (refuse_root(texts, argv[1])) return passwd_failure;
    return set_password(texts, argv[1], argv[2], 1, form);
}
