// The steps of a password change that both account modules take: whether the domain allows
// the change, the user's record, the new hash and the end of the connection. The modules
// differ in whose password the current one must be and in the file they rewrite.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>

#include "account_db.h"
#include "domain_config.h"
#include "tolvane/module.h"

// method_options 2 changes the guest password, anything else the owner's.
bool guest_change(const tvn_request *request);

// Whether the domain lets this change be made ("OwnerChangePassword", "GuestChangePassword").
bool change_allowed(const tvn_request *request, const account_domain &domain);

struct free_deleter {
    void operator()(char *text) const { std::free(text); }
};
using heap_text = std::unique_ptr<char, free_deleter>;

// The record of user in the database at path, opened with mode ("r", or "r+" where the
// database must be writable too); empty when there is none. A database that cannot be opened
// prints "Can't open %s file\n" with the path on standard output.
heap_text find_user_record(const char *path, const char *mode, const char *user, name_match match);

// False, with " Empty new password refused" in the log message, when the new password
// (remote_path1) is missing or empty: nobody could tell it from no password at all.
bool new_password_given(tvn_request *request);

// Hashes the new password (remote_path1) with a fresh salt of the given form and leaves the
// hash in local_path1 (request pool). False when no salt or hash could be made or memory is
// short.
bool put_new_hash(tvn_request *request, salt_form form);

// The change itself, once it was allowed: a non-empty new password, its hash in the given form
// (local_path1), rewrite (OK when the file was rewritten), and the end of the connection. OK,
// or INTERNAL_SERVER_ERR with nothing changed.
int make_password_change(tvn_request *request, salt_form form, const std::function<int()> &rewrite);
