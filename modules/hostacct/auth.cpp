// Logging in a host account: the host must know the user, the domain's rules must admit them,
// the owner hash is the host's shadow entry, and the worker becomes the user; and the
// per-connection hooks that follow a login.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostacct.h"
#include "utils.h"

namespace hostacct {

namespace {

// Host user names differ by letter case: only the record of this very name is theirs.
constexpr login_rules host_login{record_layout::host_account, name_match::exact, " Wrong password"};

// The module's part of a login: the host user.
struct host_account {
    const host_domain *domain;
    host_user user{};

    // Who the user is on the host, and whether the domain admits them.
    int admit(tvn_request *request, const user_profile &) {
        if (!find_host_user(request->username, &user)) {
            tvnprint(request, "%s", " Control your system configuration for the user");
            return WRONG_AUTH;
        }
        if (is_root(user)) {
            tvnprint(request, "%s", " Logins of user id 0 are refused");
            return WRONG_AUTH;
        }
        if (!admitted(domain, user)) {
            tvnprint(request, "%s", " Wrong user's group or shell");
            return WRONG_AUTH;
        }
        return OK;
    }

    // A locked or empty shadow entry ("!", "*", "") matches no password.
    const char *owner_hash(const user_profile &) const { return user.shadow->sp_pwdp; }

    // The user's supplementary groups first (as root the worker's own would otherwise survive
    // the switch), then the primary group, then the user.
    int switch_identity(tvn_request *request) const {
        const uid_t user_id = user.account->pw_uid;
        const gid_t group_id = user.account->pw_gid;
        if (initgroups(user.account->pw_name, group_id) != 0 || setgid(group_id) != 0)
            return refuse_switch(request, " Can't change process group");
        if (setuid(user_id) != 0) return refuse_switch(request, " Can't change process owner");
        umask(022);
        return OK;
    }
};

} // namespace

const host_domain *check_address(const host_domain *first, const char *domain) {
    return find_domain(first, domain);
}

int auth(tvn_request *request) {
    const auto *first = static_cast<const host_domain *>(request->init_module_data);
    const host_domain *domain = check_address(first, request->domain);
    host_account account{domain};
    return log_in(request, domain, host_login, account);
}

int access_check(tvn_request *request) { return link_access_check(request); }

int connection_closing(tvn_request *request) { return forget_login(request); }

} // namespace hostacct
