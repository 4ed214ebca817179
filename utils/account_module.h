// What the account modules have in common: pieces of configuration reading, the domain
// lookup, reading a user's profile from an account database, handing the user's directories
// to the connection, the rule for symbolic links and the new hash of a password change. The
// modules differ in where the owner password lives and whose identity the worker takes on.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>

#include "account_db.h"
#include "tolvane/module.h"

// One name of a list ("Alias" values and the like); the name is stored right after the node,
// in the same block of the start-up pool.
struct name_node {
    char *name;
    name_node *next;
};

// ---- Configuration (start-up pool) --------------------------------------------------------

// A zero-filled block of the start-up pool, or NULL.
void *init_pool_alloc(tvn_init_mpool *mpool, std::size_t size);
// A copy of text in the start-up pool, or NULL.
char *init_pool_copy(tvn_init_mpool *mpool, const char *text);

// Puts name at the front of *list, node and name in one block: the pool has few slots.
// False when memory is short.
bool add_name(tvn_init_mpool *mpool, name_node **list, const char *name);
// Gives every node of list back to the start-up pool.
void release_names(tvn_init_mpool *mpool, name_node *list);

// The line buffer of one configuration-reading loop; it grows as readline needs.
class config_line {
public:
    explicit config_line(long initial_size);
    ~config_line();
    config_line(const config_line &) = delete;
    config_line &operator=(const config_line &) = delete;
    // False when the buffer could not be had.
    bool usable() const { return text != nullptr; }
    // The next line of fp, in text; false at the end of the file.
    bool next(FILE *fp);

    char *text;

private:
    long size_;
};

// Reads the key lines of one VirtualDomain subsection, up to a tag line (any closing tag ends it;
// another tag prints "Domain section badly closed\n") or the end of the file, and hands each
// key and value to apply (0: accepted). Blank and comment lines are skipped. The number of keys
// applied, or -1 on failure.
int read_subsection_keys(FILE *fp, long line_size,
                         const std::function<int(const char *key, const char *value)> &apply);

// The hooks an account module fills; every other stage stays empty.
struct account_hooks {
    tvn_hook auth_check;
    tvn_hook access_check;
    tvn_hook connection_closing;
    tvn_hook change_pwd;
    tvn_exit_hook server_exit;
};

// Fills the module record of an account module that read its configuration into data.
void fill_account_module(tvn_module *module, const char *name, void *data,
                         const account_hooks &hooks);

enum class value_check { accepted, invalid };

// An Enabled/Disabled key: "Enabled" sets bit in flag; "Disabled" is accepted and leaves it
// as it is; anything else is invalid.
template <typename Flag>
value_check switch_value(const char *value, Flag &flag, unsigned bit) {
    if (std::strcmp(value, "Enabled") == 0) {
        flag = static_cast<Flag>(flag | bit);
        return value_check::accepted;
    }
    return std::strcmp(value, "Disabled") == 0 ? value_check::accepted : value_check::invalid;
}

// ---- Logins -------------------------------------------------------------------------------

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

// A failed switch of the worker's identity: the message goes to the log, and no sign of the
// login (link flags, guest flag, directories) is left behind. Returns WRONG_AUTH.
int refuse_switch(tvn_request *request, const char *message);

// What an account module keeps in user_module_data after its login: the link flags of the
// authenticating domain, marked so that a login whose domain allows no links (flags 0) is
// never taken for no login at all.
void *login_data(uint8_t link_flags);

// The access_check hook of an account module whose user_module_data came from login_data:
// copies the link flags into link_permission, and rules on a path that is a symbolic link (OK
// only when links may be both shown and followed, ACCESS_DENIED otherwise). NOT_HANDLED when
// the module has no login on this connection or no path is a link. The server itself never
// follows a link below an area's directory unless both flags are set, so a linked directory
// in the middle of a path is refused where the path is used.
int link_access_check(tvn_request *request);

// ---- Password changes ---------------------------------------------------------------------

// False, with " Empty new password refused" in the log message, when the new password
// (remote_path1) is missing or empty: nobody could tell it from no password at all.
bool new_password_given(tvn_request *request);

// Hashes the new password (remote_path1) with a fresh salt of the given form and leaves the
// hash in local_path1 (request pool). False when no salt or hash could be made or memory is
// short.
bool put_new_hash(tvn_request *request, salt_form form);
