// The dialogue of the two user-creation tools, tvnadduser (list accounts) and tvnsysadduser
// (host accounts): the steps they share, from the login name to the final append. Each step
// prints its own messages; a step that returns false has stopped the dialogue. Nothing is
// written to the database before the last step; directories made on the way stay.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

#include "record_line.h"
#include "utils.h"

inline constexpr int tool_success = 0;
inline constexpr int tool_failure = 255;

inline constexpr const char *directory_prompts[3] = {
    "Private directory :  ", "Public directory  :  ", "Web directory     :  "};

// The account being added.
struct new_account {
    new_account(const char *database_path, record_line empty_line)
            : database(database_path), line(std::move(empty_line)) {}

    const char *database;
    record_line line;  // the record built so far
    std::string user;  // the login name as typed
    uid_t user_id = 0; // the owner of every directory the tool creates
    gid_t group_id = 0;
    salt_form hash_form = salt_form::md5; // of the password hashes
};

// Both tools print this usage line.
void print_usage();

// Reads the "-m METHOD" option into form. False after a message and the usage line.
bool take_method(int *argc, char ***argv, salt_form *form);

// How long a hash of the account's form is: the room its password fields need. 0 after a
// message when the host cannot make such hashes.
std::size_t password_field_length(const new_account &account);

// When path exists and is a directory, prints "'%s' is a directory\n" and the usage line:
// true.
bool database_is_directory(const char *path);

// Prints prompt (flushed) and reads one line from standard input into *answer. False at end
// of input.
bool ask(const char *prompt, std::string *answer);

// The login name: refused when it holds a blank, "!" or ":", when it is empty, or when the
// database has a record of it already (letter case ignored). Starts the record with it.
bool insert_user(new_account &account);

// One password step: prompt, the password twice without echo, its hash (in the account's
// hash form) into the record. An empty or too long password, and the end of the input, stop
// the dialogue with a message of their own.
bool ins_password(new_account &account, const char *prompt);

// The home directory step: a given home directory goes into the record with its three
// directory fields left empty, and is created with its subdirectories Private, Public and Web;
// left empty, the private, public and web directory steps follow. No directory is created
// through a symbolic link; a private directory gets mode 0700.
bool directory_steps(new_account &account, const char *home_prompt);

// The private, public and web directory steps alone (after an empty home directory).
bool separate_directory_steps(new_account &account);

// Creates home and its subdirectories Private (mode 0700), Public and Web, where missing, for
// the account, never following a symbolic link on the way: a home that is a link is refused.
// Whatever exists already stays as it is.
bool make_home(const new_account &account, const std::string &home);

// Prints "Error, I can't go on\n".
void print_cannot_go_on();

// Prints that the record would be too long.
void print_too_long();

// Prints "no space left on disk\n": memory ran out.
void print_no_space();

// Appends the record, unless a record of the name appeared meanwhile.
bool append_account(const new_account &account);
