// The shared steps of a password change.
#include "password_change.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "utils.h"

bool guest_change(const tvn_request *request) { return request->method_options == 2; }

bool change_allowed(const tvn_request *request, const account_domain &domain) {
    return guest_change(request) ? domain.guest_change_password != 0
                                 : domain.owner_change_password != 0;
}

heap_text find_user_record(const char *path, const char *mode, const char *user, name_match match) {
    FILE *database = std::fopen(path, mode);
    if (database == nullptr) {
        std::printf("Can't open %s file\n", path);
        std::fflush(stdout);
        return nullptr;
    }
    long offset = 0;
    heap_text record(search_user_line(database, user, &offset, match));
    std::fclose(database);
    return record;
}

bool new_password_given(tvn_request *request) {
    if (request->remote_path1 != nullptr && request->remote_path1[0] != '\0') return true;
    tvnprint(request, "%s", " Empty new password refused");
    return false;
}

bool put_new_hash(tvn_request *request, salt_form form) {
    char salt[salt_size];
    if (!set_salt(salt, form)) return false;
    char hash[hash_size];
    const char *password = request->remote_path1 != nullptr ? request->remote_path1 : "";
    if (!hash_password(password, salt, hash, sizeof hash)) return false;
    const std::size_t length = std::strlen(hash);
    tvn_mpool *pools = request->mpool;
    auto *copy = static_cast<char *>(pools->tvn_malloc(pools->request_pool, uint32_t(length + 1)));
    if (copy == nullptr) return false;
    std::memcpy(copy, hash, length + 1);
    request->local_path1 = copy;
    return true;
}

int make_password_change(tvn_request *request, salt_form form,
                         const std::function<int()> &rewrite) {
    if (!new_password_given(request)) return INTERNAL_SERVER_ERR;
    if (!put_new_hash(request, form)) return INTERNAL_SERVER_ERR;
    if (rewrite() != OK) return INTERNAL_SERVER_ERR;
    request->disconnect = 1;
    return OK;
}
