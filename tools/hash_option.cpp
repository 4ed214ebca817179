// Reading the "-m METHOD" option that comes before a tool's own arguments.
#include "hash_option.h"

#include <cstdio>
#include <cstring>

#include "account_db.h"

hash_option take_hash_option(int *argc, char ***argv, salt_form *form) {
    char **args = *argv;
    if (*argc < 2 || std::strcmp(args[1], "-m") != 0) return hash_option::absent;
    if (*argc < 3) {
        std::printf("Option -m needs a hash method: md5, sha512 or yescrypt\n");
    } else if (!salt_form_named(args[2], form)) {
        std::printf("Unknown hash method '%s': use md5, sha512 or yescrypt\n", args[2]);
    } else {
        // The program name moves up to stand just before the tool's own arguments.
        args[2] = args[0];
        *argv = args + 2;
        *argc -= 2;
        return hash_option::taken;
    }
    std::fflush(stdout);
    return hash_option::bad;
}
