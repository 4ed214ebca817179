// Start-up warnings about account domains that cannot serve their users: a database that
// cannot be read, or that cannot be rewritten by the account the worker then runs as while
// password changes are enabled. One line each; the start goes on.
#pragma once

#include <sys/types.h>

#include <optional>

#include "domain_config.h"

// Who rewrites a domain's database after a login: the service account.
struct database_writer {
    uid_t uid;
    gid_t gid;
};

// Prints the domain's warnings for module (its section name). writer: the account that must be
// able to rewrite the database (and write beside it and in the working directory, where the
// marker of a rewrite goes) when a password change is enabled; none to skip that check.
void warn_about_domain(const char *module, const account_domain &domain,
                       std::optional<database_writer> writer);
