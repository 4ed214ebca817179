// Changing a list account's owner or guest password. Either change needs the owner password;
// the new hash takes the domain's form ("PasswordHash", MD5 unless it says otherwise) and the
// database is rewritten through a new file beside it.
#include <cstdio>
#include <cstring>

#include "listacct.h"
#include "utils.h"

namespace listacct {

namespace {

// Field 1 of the user's record, the owner hash, into hash. OK, or NOT_HANDLED when the
// database cannot be opened, the user is unknown or the field is not ended.
int get_user_pwd(const tvn_request *request, const list_domain *domain, char *hash,
                 std::size_t size) {
    const heap_text record =
        find_user_record(domain->passwd_file, "r+", request->username, name_match::any_case);
    if (record == nullptr) return NOT_HANDLED;
    const char *field = record.get() + std::strlen(request->username) + 1;
    const char *end = std::strchr(field, '!');
    if (end == nullptr || std::size_t(end - field) >= size) return NOT_HANDLED;
    std::memcpy(hash, field, std::size_t(end - field));
    hash[end - field] = '\0';
    return OK;
}

// May this change be made: the domain allows it and the current password is the owner's.
// OK, WRONG_AUTH for another password, NOT_HANDLED when the module has nothing to say.
int auth_pwd(const tvn_request *request, const list_domain **found) {
    const auto *settings = static_cast<const list_settings *>(request->init_module_data);
    const list_domain *domain = check_address(settings, request->domain);
    if (domain == nullptr || !change_allowed(request, *domain)) return NOT_HANDLED;
    char owner_hash[hash_size];
    if (get_user_pwd(request, domain, owner_hash, sizeof owner_hash) != OK) return NOT_HANDLED;
    if (!password_matches(request->password, owner_hash)) return WRONG_AUTH;
    *found = domain;
    return OK;
}

int change_file(const tvn_request *request, const list_domain *domain) {
    const field_change change{domain->passwd_file,           request->username,
                              guest_change(request) ? 2 : 1, '!',
                              request->local_path1,          name_match::any_case};
    const db_result result = replace_field(change);
    if (result == db_result::done) return OK;
    if (result == db_result::open_database) {
        std::perror("Error opening file :");
    } else if (result == db_result::no_memory) {
        std::printf("Sorry, no space left on disk\n");
        std::fflush(stdout);
    }
    return INTERNAL_SERVER_ERR;
}

} // namespace

int change_password(tvn_request *request) {
    const list_domain *domain = nullptr;
    if (auth_pwd(request, &domain) != OK) return NOT_HANDLED;
    return make_password_change(request, domain->password_hash,
                                [&] { return change_file(request, domain); });
}

} // namespace listacct
