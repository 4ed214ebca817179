// The "-m METHOD" option of the administration tools: the form of the hashes they write.
#pragma once

#include "utils.h"

enum class hash_option { absent, taken, bad };

// Looks for "-m METHOD" right after the program name. taken: *form is the method named
// ("md5", "sha512" or "yescrypt") and *argc, *argv are moved past the option, so the
// arguments that follow read as if it had not been given. absent: nothing changed. bad: the
// method is missing or unknown, after a message on standard output; the tool then prints its
// usage line.
hash_option take_hash_option(int *argc, char ***argv, salt_form *form);
