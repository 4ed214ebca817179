// tvnpasswd [-m METHOD] <user_name> <filename>: sets field 1 of a user's record, the guest
// password of a host account or the owner password of a list account.
#include <cstdio>

#include "aux_passwd.h"

namespace {

const passwd_texts texts{
    "Usage :  tvnpasswd <user_name> <filename>\n",
    "Sorry, They don't match\n",
    "I can't open aux file\n",
    "Error reading the passwd file\n",
    "Error reading the passwd file\n",
};

} // namespace

int main(int argc, char **argv) {
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
