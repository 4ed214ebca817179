// The pieces of a login that need no module: the password check, the per-connection login
// data, a refused identity switch and the symbolic-link rule.
#include "login.h"

#include <sys/stat.h>

namespace {

constexpr uintptr_t LOGGED_IN = 0x100; // above every link flag

bool is_symlink(const char *path) {
    struct stat status {};
    return path != nullptr && lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

} // namespace

int check_password(tvn_request *request, const user_profile &profile, const char *owner_hash,
                   const login_rules &rules) {
    if (password_matches(profile.password, owner_hash)) {
        request->is_guest = 0;
        return OK;
    }
    if (password_matches(profile.password, profile.guest_pwd)) {
        request->is_guest = 1;
        return OK;
    }
    if (rules.wrong_password != nullptr) tvnprint(request, "%s", rules.wrong_password);
    return WRONG_AUTH;
}

void *login_data(uint8_t link_flags) {
    return reinterpret_cast<void *>(LOGGED_IN | uintptr_t(link_flags));
}

int refuse_switch(tvn_request *request, const char *message) {
    tvnprint(request, "%s", message);
    request->user_module_data = nullptr;
    request->is_guest = 2;
    request->private_dir = request->public_dir = request->web_dir = nullptr;
    return WRONG_AUTH;
}

int link_access_check(tvn_request *request) {
    const auto data = reinterpret_cast<uintptr_t>(request->user_module_data);
    if ((data & LOGGED_IN) == 0) return NOT_HANDLED; // not this module's login
    const auto flags = uint8_t(data);
    request->link_permission = flags;
    const bool links_allowed = (flags & TVN_LINK_SHOW) != 0 && (flags & TVN_LINK_FOLLOW) != 0;
    if (is_symlink(request->local_path1)) return links_allowed ? OK : ACCESS_DENIED;
    if (is_symlink(request->local_path2)) return links_allowed ? OK : ACCESS_DENIED;
    return NOT_HANDLED;
}

int forget_login(tvn_request *request) {
    request->user_module_data = nullptr;
    return OK;
}
