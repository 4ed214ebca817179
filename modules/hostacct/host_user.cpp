// The host's user, group and shadow databases, read through the host's lookup functions, and
// the domains' rules on primary groups and login shells.
#include <cstring>

#include "hostacct.h"

namespace hostacct {

bool find_host_user(const char *name, host_user *user) {
    *user = host_user{};
    if (name == nullptr) return false;
    // Each kind of entry has storage of its own, so the three stay valid side by side. The
    // shadow database is readable only before the worker gives up root.
    user->account = getpwnam(name);
    if (user->account == nullptr) return false;
    user->primary_group = getgrgid(user->account->pw_gid);
    user->shadow = getspnam(name);
    return user->primary_group != nullptr && user->shadow != nullptr;
}

bool is_root(const host_user &user) { return user.account != nullptr && user.account->pw_uid == 0; }

int check_list(const name_node *list, const char *name) {
    if (list == nullptr) return 1;
    if (name == nullptr) return 0;
    for (; list != nullptr; list = list->next)
        if (std::strcmp(list->name, name) == 0) return 1;
    return 0;
}

bool admitted(const host_domain *domain, const host_user &user) {
    // Only the primary group counts: membership of other groups admits no one.
    return check_list(domain->authorized_groups, user.primary_group->gr_name) == 1 &&
           check_list(domain->authorized_shells, user.account->pw_shell) == 1;
}

} // namespace hostacct
