// What the account modules have in common: the domain lookup, reading a user's profile from
// an account database, handing the user's directories to the connection, and the rule for
// symbolic links. The modules differ in where the owner password lives and whose identity
// the worker takes on.
#pragma once

#include <cstring>

#include "account_db.h"
#include "tolvane/module.h"

// One name of a list ("Alias" values and the like); the name is stored right after the node,
// in the same block of the start-up pool.
struct name_node {
    char *name;
    name_node *next;
};

// The domain that serves the client's domain name: the first enabled domain, in file order,
// that has the name among its aliases; failing that, the last enabled domain without aliases
// (a default domain); NULL when there is neither. Domain needs the members aliases, enabled
// and next. The walk changes nothing.
template <typename Domain>
Domain *find_domain(Domain *first, const char *name) {
    Domain *fallback = nullptr;
    for (Domain *domain = first; domain != nullptr; domain = domain->next) {
        if (!domain->enabled) continue;
        if (domain->aliases == nullptr) {
            fallback = domain;
            continue;
        }
        if (name == nullptr) continue;
        for (const name_node *alias = domain->aliases; alias != nullptr; alias = alias->next)
            if (std::strcmp(alias->name, name) == 0) return domain;
    }
    return fallback;
}

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

// Fills profile from the record of profile->username in the database at passwd_file.
// OK; NOT_HANDLED when the database cannot be opened (with "Can't open database file " and
// the path in the log message) or holds no such user; WRONG_AUTH for a corrupt record (with
// " Corrupted database file " and the path); INTERNAL_SERVER_ERR when memory is short.
int get_profile(tvn_request *request, const char *passwd_file, record_layout layout,
                user_profile *profile);

// Releases the profile's strings (not the profile itself).
void free_profile(tvn_request *request, user_profile *profile);

// Gives the connection its directories (connection pool), after request->is_guest is set.
// With a home directory an owner gets its Private, Public and Web subdirectories and a guest
// only Public; otherwise owners and guests get the record's three directories. OK, or
// INTERNAL_SERVER_ERR when memory is short.
int copy_profile(tvn_request *request, const user_profile *profile);

// The access_check hook of an account module whose user_module_data holds the link flags of
// the authenticating domain: copies them into link_permission, and rules on a path that is a
// symbolic link (OK only when links may be both shown and followed). NOT_HANDLED otherwise.
int link_access_check(tvn_request *request);
