// Logging in a list account: the domain lookup, the password check, the user's directories
// and the switch to the service account; and the per-connection hooks that follow a login.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "listacct.h"
#include "utils.h"

namespace listacct {

namespace {

// Owner first: a password that is both the owner's and the guest's makes an owner.
bool set_guest_flag(tvn_request *request, const user_profile *profile) {
    if (password_matches(profile->password, profile->owner_pwd)) {
        request->is_guest = 0;
        return true;
    }
    if (password_matches(profile->password, profile->guest_pwd)) {
        request->is_guest = 1;
        return true;
    }
    return false;
}

// The worker becomes the service account for the rest of the connection: supplementary
// groups first (as root they would otherwise survive the switch), then group, then user.
int switch_to_service_account(tvn_request *request, const list_settings *settings) {
    const gid_t group_id = settings->group_id;
    if ((geteuid() == 0 && setgroups(1, &group_id) != 0) || setgid(group_id) != 0)
        return refuse_switch(request, " Can't change process group");
    if (setuid(settings->user_id) != 0) return refuse_switch(request, " Can't change process owner");
    umask(022);
    return OK;
}

}  // namespace

list_domain *check_address(const list_settings *settings, const char *domain) {
    return find_domain(settings->domains, domain);
}

int auth(tvn_request *request) {
    const auto *settings = static_cast<const list_settings *>(request->init_module_data);
    const list_domain *domain = check_address(settings, request->domain);
    if (domain == nullptr) return NOT_HANDLED;
    user_profile *profile = new_profile(request);
    if (profile == nullptr) return INTERNAL_SERVER_ERR;
    request->is_guest = 2;

    int status = get_profile(request, domain->passwd_file, record_layout::list_account, profile);
    if (status == OK && getpwuid(settings->user_id) == nullptr) {
        tvnprint(request, "%s", " User doesn't exist in database");
        status = WRONG_AUTH;
    }
    if (status == OK && !set_guest_flag(request, profile)) status = WRONG_AUTH;
    if (status == OK && copy_profile(request, profile) != OK) status = INTERNAL_SERVER_ERR;
    drop_profile(request, profile);
    if (status != OK) return status;

    request->user_module_data = login_data(domain->link_flags);
    return switch_to_service_account(request, settings);
}

int access_check(tvn_request *request) { return link_access_check(request); }

int connection_closing(tvn_request *request) {
    request->user_module_data = nullptr;
    return OK;
}

}  // namespace listacct
