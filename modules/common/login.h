// The login of an account module, from the domain to the worker's new identity, as one
// skeleton; and the per-connection state and hooks that follow a login. The modules differ
// only in what the account supplies: the checks before the password, where the owner's hash
// lives and whose identity the worker takes on.
#pragma once

#include <concepts>
#include <cstdint>

#include "domain_config.h"
#include "profile.h"
#include "tolvane/module.h"
#include "utils.h"

// What a module's login reads from its databases.
struct login_rules {
    record_layout layout; // the record kind of the domain's database
    name_match match;     // how a record's name must equal the login name
    // The log message of a password that matches neither hash; NULL for none.
    const char *wrong_password;
};

// The module's part of a login, called in this order once the user's record was read:
//   admit(request, profile)     the checks before the password: OK, or WRONG_AUTH after its
//                               message;
//   owner_hash(profile)         the hash the owner's password must match;
//   switch_identity(request)    the worker becomes the user's identity for the rest of the
//                               connection: OK, or refuse_switch's WRONG_AUTH.
template <typename Account>
concept login_account = requires(Account &account, tvn_request *request,
                                 const user_profile &profile) {
    { account.admit(request, profile) } -> std::same_as<int>;
    { account.owner_hash(profile) } -> std::convertible_to<const char *>;
    { account.switch_identity(request) } -> std::same_as<int>;
};

// Sets is_guest by the password: owner first, so a password that is both the owner's and the
// guest's makes an owner. OK, or WRONG_AUTH with the rule's message.
int check_password(tvn_request *request, const user_profile &profile, const char *owner_hash,
                   const login_rules &rules);

// What an account module keeps in user_module_data after its login: the link flags of the
// authenticating domain, marked so that a login whose domain allows no links (flags 0) is
// never taken for no login at all.
void *login_data(uint8_t link_flags);

// The auth_check hook of an account module, for the domain that serves the client's domain
// name (NULL: none). NOT_HANDLED when there is no domain, the domain names no database (with
// "Can't open database file " in the log message) or the database does not know the user, as
// get_profile says; then the record, the account's checks and the password decide, the user's
// directories go to the connection, the domain's link flags to user_module_data, and the
// worker switches to the user's identity. Every refusal leaves is_guest 2 and no directories.
template <login_account Account>
int log_in(tvn_request *request, const account_domain *domain, const login_rules &rules,
           Account &account) {
    if (domain == nullptr) return NOT_HANDLED;
    // A later host domain may lack its database: nobody is found there.
    if (domain->passwd_file == nullptr) {
        tvnprint(request, "%s %s", "Can't open database file ", domain->passwd_file);
        return NOT_HANDLED;
    }
    user_profile *profile = new_profile(request);
    if (profile == nullptr) return INTERNAL_SERVER_ERR;
    request->is_guest = 2;

    int status = get_profile(request, domain->passwd_file, rules.layout, profile, rules.match);
    if (status == OK) status = account.admit(request, *profile);
    if (status == OK)
        status = check_password(request, *profile, account.owner_hash(*profile), rules);
    if (status == OK && copy_profile(request, profile) != OK) status = INTERNAL_SERVER_ERR;
    drop_profile(request, profile);
    if (status != OK) return status;

    request->user_module_data = login_data(domain->link_flags);
    return account.switch_identity(request);
}

// A failed switch of the worker's identity: the message goes to the log, and no sign of the
// login (link flags, guest flag, directories) is left behind. Returns WRONG_AUTH.
int refuse_switch(tvn_request *request, const char *message);

// The access_check hook of an account module whose user_module_data came from login_data:
// copies the link flags into link_permission, and rules on a path that is a symbolic link (OK
// only when links may be both shown and followed, ACCESS_DENIED otherwise). NOT_HANDLED when
// the module has no login on this connection or no path is a link. The server itself never
// follows a link below an area's directory unless both flags are set, so a linked directory
// in the middle of a path is refused where the path is used.
int link_access_check(tvn_request *request);

// The connection_closing hook of an account module: the login is forgotten. OK.
int forget_login(tvn_request *request);
