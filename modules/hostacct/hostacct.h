// The host-account module: accounts of the host itself, one host-account database per
// VirtualDomain of the section "mod_system_users". The owner password is the host password;
// the database gives the guest password and the directories. After a login the worker is the
// host user, with the user's own groups.
//
// Everything but init_module is internal to the module library; the unit tests link these
// functions directly.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <cstdint>
#include <cstdio>

#include "account_module.h"
#include "tolvane/module.h"

namespace hostacct {

inline constexpr char module_name[] = "mod_system_users";

// One VirtualDomain subsection (the keys every account domain holds, and the group and shell
// rules); start-up pool. The first one is the module's init_module_data.
struct host_domain : account_domain {
    name_node *authorized_groups = nullptr; // "AuthorizedGroup"; none: any primary group
    name_node *authorized_shells = nullptr; // "AuthorizedShell"; none: any login shell
    host_domain *next = nullptr;
};

// ---- Configuration (config.cpp) ----------------------------------------------------------

// Reads the module's section from fp; *first is the first domain, NULL when the section has
// none. 0, or -1 after a message on standard output.
int read_domain(FILE *fp, tvn_init_mpool *mpool, host_domain **first);
// Releases what read_domain allocated.
void release_domains(tvn_init_mpool *mpool, host_domain *first);
// The whole of init_module: reads "conf/tolvane.conf" (relative to the working directory) and
// fills the module record. 1, or 8 after a message.
int init(tvn_module *module);
// After a start-up read: one warning line for each domain whose database cannot serve it (it
// cannot be read; or, with password changes enabled, not rewritten by the service account).
void warn_about_domains(const tvn_module *module);

// ---- The host's databases (host_user.cpp) ------------------------------------------------

// What the module needs of a host user. The entries belong to the host's lookup functions
// and stay valid until the next lookup of the same kind.
struct host_user {
    const passwd *account;      // by name: user id, primary group id, login shell
    const group *primary_group; // by the primary group id: its name
    const spwd *shadow;         // by name: the host password hash
};

// False when the user, the primary group or the shadow entry is missing.
bool find_host_user(const char *name, host_user *user);
// A host user with user id 0 is root by another name: no login or password change makes a
// worker root, or rewrites root's password.
bool is_root(const host_user &user);
// 1 when list is empty or holds name (exact comparison), else 0.
int check_list(const name_node *list, const char *name);
// The domain's group and shell rules: the primary group and the login shell must be listed
// where the domain lists any.
bool admitted(const host_domain *domain, const host_user &user);

// ---- Hooks (auth.cpp, password.cpp) ------------------------------------------------------

// The domain that serves a client's domain name, or NULL.
const host_domain *check_address(const host_domain *first, const char *domain);

int auth(tvn_request *request);         // auth_check
int access_check(tvn_request *request); // the symbolic-link rule
int connection_closing(tvn_request *request);
int change_password(tvn_request *request); // change_pwd
int server_exit(tvn_module *module);

} // namespace hostacct
