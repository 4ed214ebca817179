// A user's record while a login is checked, read from the account database, and the
// directories it gives the connection.
#pragma once

#include "account_db.h"
#include "tolvane/module.h"

// One user's record while authenticating; strings in the request pool, NULL where a field is
// empty. username and password are borrowed from the request. owner_pwd stays NULL for host
// accounts.
struct user_profile {
    const char *username;
    const char *password;
    char *guest_pwd;
    char *owner_pwd;
    char *home_dir;
    char *private_dir;
    char *public_dir;
    char *web_dir;
};

// A zeroed profile in the request pool with username and password taken from the request;
// NULL when memory is short.
user_profile *new_profile(tvn_request *request);
// Releases the profile's strings and the profile.
void drop_profile(tvn_request *request, user_profile *profile);

// Fills profile from the record of profile->username in the database at passwd_file; match
// says whether the record's name must equal it exactly or in any letter case.
// OK; NOT_HANDLED when the database cannot be opened (with "Can't open database file " and
// the path in the log message) or holds no such user; WRONG_AUTH for a corrupt record (with
// " Corrupted database file " and the path); INTERNAL_SERVER_ERR when memory is short.
int get_profile(tvn_request *request, const char *passwd_file, record_layout layout,
                user_profile *profile, name_match match = name_match::any_case);

// Releases the profile's strings (not the profile itself).
void free_profile(tvn_request *request, user_profile *profile);

// Gives the connection its directories (connection pool), after request->is_guest is set.
// With a home directory an owner gets its Private, Public and Web subdirectories and a guest
// only Public; otherwise owners and guests get the record's three directories. OK, or
// INTERNAL_SERVER_ERR when memory is short.
int copy_profile(tvn_request *request, const user_profile *profile);
