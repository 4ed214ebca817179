// The VirtualDomain subsections of the account modules: one table of the keys both modules
// read, each module's own keys beside it, the walk over a module's section, and the lookup of
// the domain that serves a client's domain name. Records live in the start-up pool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>
#include <span>
#include <string_view>

#include "account_db.h"
#include "name_list.h"
#include "startup_pool.h"

// What every account domain holds. A module's domain adds its own keys and "next".
struct account_domain {
    char *passwd_file = nullptr;        // "PasswdFile": the account database
    name_node *aliases = nullptr;       // "Alias", the last one first; none: a default domain
    uint16_t owner_change_password = 0; // "OwnerChangePassword" Enabled
    uint16_t guest_change_password = 0; // "GuestChangePassword" Enabled
    uint8_t link_flags = 0; // TVN_LINK_SHOW ("ShowSymLink"), TVN_LINK_FOLLOW ("FollowSymLink")
    uint8_t enabled = 0;    // "EnableDomain" 1; a domain not enabled never takes part in a lookup
    // "PasswordHash": the form of the hashes a password change writes.
    salt_form password_hash = salt_form::md5;
};

enum class key_result {
    accepted,
    invalid_value, // "Invalid value %s  for %s\n"
    repeated,      // a second "PasswdFile": the module's rule says what follows
    failed,        // memory ran out
};

// One key and what it does to a domain of the module whose table lists it.
struct domain_key {
    std::string_view name;
    key_result (*apply)(account_domain &domain, const char *value, tvn_init_mpool *mpool);
};

// Where the modules' readings of a subsection differ.
struct domain_rules {
    long line_size;                       // the line buffer's first size
    std::span<const domain_key> own_keys; // the module's keys beside the shared ones
    const char *repeated_passwd_file;     // printed for a second "PasswdFile"
    bool repeated_passwd_file_fails;      // or else the first value stays
    // Whether a subsection read without error (keys: how many it held) makes a domain; prints
    // the module's message where it has one.
    bool (*complete)(const account_domain &domain, int keys);
    // Gives back what the module's own keys took; NULL when they take nothing.
    void (*release_own)(tvn_init_mpool *mpool, account_domain &domain);
};

// Reads one subsection into domain, up to a closing tag ("Domain section badly closed\n" for
// another tag) or the end of the file, with the messages of unknown keys and invalid values.
// False when it makes no domain.
bool read_domain_keys(FILE *fp, tvn_init_mpool *mpool, account_domain &domain,
                      const domain_rules &rules);

// Gives back what the domain's keys took (not the record).
void release_domain_keys(tvn_init_mpool *mpool, account_domain &domain, const domain_rules &rules);

// What a line of a module section outside its subsections means to the module.
enum class section_line { more, end, failed };

// Reads a module section (fp stands on its first line) until other_line, which gets every line
// outside the subsections but blank and comment lines, says it ends, or the file ends. Each
// VirtualDomain tag hands its subsection to subsection (0: read). 0, or -1.
int walk_module_section(FILE *fp, long line_size, const std::function<int()> &subsection,
                        const std::function<section_line(char *line)> &other_line);

// Gives back every domain of the list that starts at first.
template <typename Domain>
void release_domains(tvn_init_mpool *mpool, Domain *first, const domain_rules &rules) {
    while (first != nullptr) {
        Domain *next = first->next;
        release_domain_keys(mpool, *first, rules);
        mpool->tvn_free(mpool->init_pool, first);
        first = next;
    }
}

// Reads a module section whose subsections become Domains (account domains with their own
// keys and "next"), appended to *first in file order. 0, or -1; the domains read so far stay
// on the list for the caller to release.
template <typename Domain>
int read_domains(FILE *fp, tvn_init_mpool *mpool, const domain_rules &rules, Domain **first,
                 const std::function<section_line(char *line)> &other_line) {
    Domain **last = first;
    const auto subsection = [&] {
        void *block = init_pool_alloc(mpool, sizeof(Domain));
        if (block == nullptr) return -1;
        auto *domain = new (block) Domain{};
        if (!read_domain_keys(fp, mpool, *domain, rules)) {
            release_domains(mpool, domain, rules);
            return -1;
        }
        *last = domain;
        last = &domain->next;
        return 0;
    };
    return walk_module_section(fp, rules.line_size, subsection, other_line);
}

// The domain that serves the client's domain name: the first enabled domain, in file order,
// that has the name among its aliases; failing that, the last enabled domain without aliases
// (a default domain); NULL when there is neither. The walk changes nothing.
template <typename Domain>
Domain *find_domain(Domain *first, const char *name) {
    Domain *fallback = nullptr;
    for (Domain *domain = first; domain != nullptr; domain = domain->next) {
        if (!domain->enabled) continue;
        if (domain->aliases == nullptr)
            fallback = domain;
        else if (holds_name(domain->aliases, name))
            return domain;
    }
    return fallback;
}
