// Logging in a host account: the domain lookup, the user's record, the host's databases and
// the domain's rules, the owner or guest password, the user's directories and the switch to
// the user's own identity; and the per-connection hooks that follow a login.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "hostacct.h"
#include "utils.h"

namespace hostacct {

namespace {

// Owner first: a guest password that is also the host password makes an owner. A locked or
// empty shadow entry ("!", "*", "") matches no password.
bool set_guest_flag(tvn_request *request, const user_profile *profile, const host_user &user) {
    if (password_matches(profile->password, user.shadow->sp_pwdp)) {
        request->is_guest = 0;
        return true;
    }
    if (password_matches(profile->password, profile->guest_pwd)) {
        request->is_guest = 1;
        return true;
    }
    return false;
}

// Who the user is on the host, whether the domain admits them, and which password was given.
int check_user(tvn_request *request, const host_domain *domain, const user_profile *profile,
               host_user *user) {
    if (!find_host_user(request->username, user)) {
        tvnprint(request, "%s", " Control your system configuration for the user");
        return WRONG_AUTH;
    }
    if (is_root(*user)) {
        tvnprint(request, "%s", " Logins of user id 0 are refused");
        return WRONG_AUTH;
    }
    if (!admitted(domain, *user)) {
        tvnprint(request, "%s", " Wrong user's group or shell");
        return WRONG_AUTH;
    }
    if (!set_guest_flag(request, profile, *user)) {
        tvnprint(request, "%s", " Wrong password");
        return WRONG_AUTH;
    }
    return OK;
}

// The worker becomes the host user for the rest of the connection: the user's supplementary
// groups first (as root the worker's own would otherwise survive the switch), then the
// primary group, then the user.
int switch_to_user(tvn_request *request, const passwd *account) {
    const uid_t user_id = account->pw_uid;
    const gid_t group_id = account->pw_gid;
    if (initgroups(account->pw_name, group_id) != 0 || setgid(group_id) != 0)
        return refuse_switch(request, " Can't change process group");
    if (setuid(user_id) != 0) return refuse_switch(request, " Can't change process owner");
    umask(022);
    return OK;
}

}  // namespace

const host_domain *check_address(const host_domain *first, const char *domain) {
    return find_domain(first, domain);
}

int auth(tvn_request *request) {
    const auto *first = static_cast<const host_domain *>(request->init_module_data);
    const host_domain *domain = check_address(first, request->domain);
    if (domain == nullptr) return NOT_HANDLED;
    // A later domain may lack its database: nobody is found there.
    if (domain->passwd_file == nullptr) {
        tvnprint(request, "%s %s", "Can't open database file ", domain->passwd_file);
        return NOT_HANDLED;
    }
    user_profile *profile = new_profile(request);
    if (profile == nullptr) return INTERNAL_SERVER_ERR;
    request->is_guest = 2;

    host_user user{};
    // Host user names differ by letter case: only the record of this very name is theirs.
    int status = get_profile(request, domain->passwd_file, record_layout::host_account, profile,
                             name_match::exact);
    if (status == OK) status = check_user(request, domain, profile, &user);
    if (status == OK && copy_profile(request, profile) != OK) status = INTERNAL_SERVER_ERR;
    drop_profile(request, profile);
    if (status != OK) return status;
    request->user_module_data = login_data(domain->link_flags);
    return switch_to_user(request, user.account);
}

int access_check(tvn_request *request) { return link_access_check(request); }

int connection_closing(tvn_request *request) {
    request->user_module_data = nullptr;
    return OK;
}

}  // namespace hostacct
