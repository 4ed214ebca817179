// tvnvpasswd [-m METHOD] -g|-o <user_name> <filename>: sets the guest (-g) or the owner (-o)
// password of a list account.
#include <cstdio>
#include <cstring>

#include "aux_passwd.h"

namespace {

const passwd_texts texts{
    "Usage :  passwd -[go] <user_name> <filename>\n",
    "Sorry, they don't match\n",
    nullptr,
    "Error reading database file\n",
    "Error reading passwd file\n",
};

} // namespace

int main(int argc, char **argv) {
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
