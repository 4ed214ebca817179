// The core of the two password tools, tvnvpasswd and tvnpasswd: set a user's password in an
// account database without knowing the old one. They differ in the field they set and in the
// texts they print.
#pragma once

#include "utils.h"

inline constexpr int passwd_success = 0;
inline constexpr int passwd_failure = 255;

// The texts that tell the two tools apart.
struct passwd_texts {
    const char *usage;
    const char *mismatch;            // the two entries differ
    const char *aux_file;            // "./tvn_aux_file" could not be created; NULL: say nothing
    const char *field1_unterminated; // field 1, kept, is not ended by "!"
    const char *field_unterminated;  // the field to be set is not ended by "!"
};

// True for the superuser; otherwise prints "You don't have the permissions to execute this
// file\n".
bool run_by_superuser();

// True, after the usage line, when user is "root", whose password these tools never set.
bool refuse_root(const passwd_texts &texts, const char *user);

// Reads the "-m METHOD" option into form. False after a message and the usage line.
bool take_method(const passwd_texts &texts, int *argc, char ***argv, salt_form *form);

// Asks for the new password and puts its hash, with a fresh salt of the given form, into
// field (1 or 2, field 1 kept) of the user's record, holding "./tvn_aux_file" in the working
// directory from before the database is read until it has been replaced. An empty or too
// long password, or the end of the input, changes nothing. The exit status.
int set_password(const passwd_texts &texts, const char *user, const char *database, int field,
                 salt_form form);
