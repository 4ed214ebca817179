// Logging in a list account: the service account must exist, the owner hash is the record's,
// and the worker becomes the service account; and the per-connection hooks that follow a
// login.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listacct.h"
#include "utils.h"

namespace listacct {

namespace {

constexpr login_rules list_login{record_layout::list_account, name_match::any_case, nullptr};

// The module's part of a login: the configured service account.
struct service_account {
    const list_settings *settings;

    int admit(tvn_request *request, const user_profile &) const {
        if (getpwuid(settings->user_id) != nullptr) return OK;
        tvnprint(request, "%s", " User doesn't exist in database");
        return WRONG_AUTH;
    }

    static const char *owner_hash(const user_profile &profile) { return profile.owner_pwd; }

    // Supplementary groups first (as root they would otherwise survive the switch), then
    // group, then user.
    int switch_identity(tvn_request *request) const {
        const gid_t group_id = settings->group_id;
        if ((geteuid() == 0 && setgroups(1, &group_id) != 0) || setgid(group_id) != 0)
            return refuse_switch(request, " Can't change process group");
        if (setuid(settings->user_id) != 0)
            return refuse_switch(request, " Can't change process owner");
        umask(022);
        return OK;
    }
};

} // namespace

list_domain *check_address(const list_settings *settings, const char *domain) {
    return find_domain(settings->domains, domain);
}

int auth(tvn_request *request) {
    const auto *settings = static_cast<const list_settings *>(request->init_module_data);
    service_account account{settings};
    return log_in(request, check_address(settings, request->domain), list_login, account);
}

int access_check(tvn_request *request) { return link_access_check(request); }

int connection_closing(tvn_request *request) { return forget_login(request); }

} // namespace listacct
