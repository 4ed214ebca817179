// Changing a host account's passwords. Either change needs the host password. The owner
// password is the host's own: its change rewrites the user's entry in the host's shadow file,
// under the host's password-file lock, with the hash method the host's own tools use. The
// guest password is field 1 of the user's record, hashed in the domain's form. Host user names
// differ by letter case, so only an entry of the very name is the user's.
#include "hostacct.h"
#include "utils.h"

namespace hostacct {

namespace {

constexpr char shadow_file[] = "/etc/shadow";

// True when the domain's database holds a record of user. A host user who cannot log in here
// cannot change a password here either.
bool has_record(const host_domain *domain, const char *user) {
    if (domain->passwd_file == nullptr) return false;
    return find_user_record(domain->passwd_file, "r", user, name_match::exact) != nullptr;
}

// May this change be made: the domain allows it, the user has a record, the host knows the
// user, the domain's rules admit them and the current password is the host password (never
// the guest password). OK, WRONG_AUTH, or NOT_HANDLED when the module has nothing to say.
int auth_pwd(const tvn_request *request, const host_domain **found) {
    const auto *first = static_cast<const host_domain *>(request->init_module_data);
    const host_domain *domain = check_address(first, request->domain);
    if (domain == nullptr || !change_allowed(request, *domain)) return NOT_HANDLED;
    if (!has_record(domain, request->username)) return NOT_HANDLED;
    host_user user{};
    if (!find_host_user(request->username, &user) || is_root(user) || !admitted(domain, user) ||
        !password_matches(request->password, user.shadow->sp_pwdp))
        return WRONG_AUTH;
    *found = domain;
    return OK;
}

// The host's own lock on its password files (the one its password and user tools take), held
// while the shadow file is rewritten so that neither side loses the other's change.
class host_password_lock {
public:
    host_password_lock() = default;
    ~host_password_lock() {
        if (held_) ulckpwdf();
    }
    host_password_lock(const host_password_lock &) = delete;
    host_password_lock &operator=(const host_password_lock &) = delete;
    // Waits as long as the host's lock function does; false when the lock was not had.
    bool acquire() {
        held_ = lckpwdf() == 0;
        return held_;
    }

private:
    bool held_ = false;
};

int change_file(tvn_request *request, const host_domain *domain) {
    const bool owner = !guest_change(request);
    const char *target = owner ? shadow_file : domain->passwd_file;
    host_password_lock lock;
    if (owner) {
        if (!lock.acquire()) {
            tvnprint(request, "%s", " Can't lock the host's password files");
            return INTERNAL_SERVER_ERR;
        }
    }
    const field_change change{
        target, request->username, 1, owner ? ':' : '!', request->local_path1, name_match::exact};
    const db_result result = replace_field(change);
    if (result == db_result::done) return OK;
    if (result == db_result::open_database)
        tvnprint(request, "%s %s", "Can't open database file ", target);
    return INTERNAL_SERVER_ERR;
}

} // namespace

int change_password(tvn_request *request) {
    const host_domain *domain = nullptr;
    if (auth_pwd(request, &domain) != OK) return NOT_HANDLED;
    // The shadow file gets what the host's own password tool would write there.
    const salt_form form =
        guest_change(request) ? domain->password_hash : salt_form::host_preferred;
    return make_password_change(request, form, [&] { return change_file(request, domain); });
}

} // namespace hostacct
