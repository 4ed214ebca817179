// The list-account module: users kept in account databases of tolvane's own, one database
// per VirtualDomain of the section "mod_virtual_users". After a login the worker becomes the
// configured service account, so every file of a list account belongs to that account.
//
// Everything but init_module is internal to the module library; the unit tests link these
// functions directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "account_module.h"
#include "tolvane/module.h"

namespace listacct {

inline constexpr char module_name[] = "mod_virtual_users";

// One VirtualDomain subsection (the keys every account domain holds); start-up pool.
struct list_domain : account_domain {
    list_domain *next = nullptr;
};

// The module's init_module_data; start-up pool.
struct list_settings {
    uid_t user_id;        // "TvnUser", or the user "nobody"
    gid_t group_id;       // "TvnGroup", or the primary group of "nobody"
    list_domain *domains; // in file order
};

// ---- Configuration (config.cpp) ----------------------------------------------------------

// Reads the module's section from fp into *settings. 0, or -1 after a message on standard
// output.
int read_domain(FILE *fp, tvn_init_mpool *mpool, list_settings **settings);
// Releases what read_domain allocated.
void release_settings(tvn_init_mpool *mpool, list_settings *settings);
// The whole of init_module: reads "conf/tolvane.conf" (relative to the working directory) and
// fills the module record. 1, or 8 after "Can't read config file for mod_virtual_users module".
int init(tvn_module *module);
// After a start-up read: one warning line for each domain whose database cannot serve it (it
// cannot be read; or, with password changes enabled, not rewritten by the service account).
void warn_about_domains(const tvn_module *module);

// ---- Hooks (auth.cpp, password.cpp) ------------------------------------------------------

// The domain that serves a client's domain name, or NULL.
list_domain *check_address(const list_settings *settings, const char *domain);

int auth(tvn_request *request);         // auth_check
int access_check(tvn_request *request); // the symbolic-link rule
int connection_closing(tvn_request *request);
int change_password(tvn_request *request); // change_pwd
int server_exit(tvn_module *module);

} // namespace listacct
