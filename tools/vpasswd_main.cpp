// tvnvpasswd [-m METHOD] -g|-o <user_name> <filename>: sets the guest (-g) or the owner (-o)
// password of a list account.
#include <cstdio>
#include <cstring>

#include "aux_passwd.h"
#include "program_info.h"

namespace {

constexpr const char *HELP =
    "Usage: tvnvpasswd [-m METHOD] -g|-o <user_name> <filename>\n"
    "Sets the guest (-g) or the owner (-o) password of a list account in the account\n"
    "database <filename>, asking for it twice without echo. For root only; run it in the\n"
    "server root, where tvn_aux_file keeps it and the server's own password changes apart.\n"
    "\n"
    "  -m METHOD  hash the password with md5 (the default), sha512 or yescrypt\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status 0 when the database was rewritten, 255 otherwise. See tvnvpasswd(8).\n";

const passwd_texts texts{
    "Usage :  passwd -[go] <user_name> <filename>\n",
    "Sorry, they don't match\n",
    nullptr,
    "Error reading database file\n",
    "Error reading passwd file\n",
};

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvnvpasswd", HELP)) return 0;
    if (!run_by_superuser()) return passwd_failure;
    salt_form form = salt_form::md5;
    if (!take_method(texts, &argc, &argv, &form)) return passwd_failure;
    if (argc < 4 || (std::strcmp(argv[1], "-g") != 0 && std::strcmp(argv[1], "-o") != 0)) {
        std::fputs(texts.usage, stdout);
        return passwd_failure;
    }
    if (refuse_root(texts, argv[2])) return passwd_failure;
    const int field = argv[1][1] == 'g' ? 2 : 1;
    return set_password(texts, argv[2], argv[3], field, form);
}
