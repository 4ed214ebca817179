// Reading a user's profile from an account database and handing the user's directories to the
// connection.
#include "profile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "utils.h"

namespace {

// A copy of text in pool, or NULL for an empty text; *failed is set when memory is short.
char *pool_copy(tvn_mpool *pools, tvn_pool *pool, std::string_view text, bool *failed) {
    if (text.empty()) return nullptr;
    auto *copy = static_cast<char *>(pools->tvn_malloc(pool, uint32_t(text.size() + 1)));
    if (copy == nullptr) {
        *failed = true;
        return nullptr;
    }
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// Appends text to *out and ends it; returns the start of what was written. An empty view may
// hold a null pointer, which memcpy must never be given even for no bytes: std::copy is safe.
char *put_text(char **out, std::string_view first, std::string_view second = {}) {
    char *start = *out;
    *out = std::copy(first.begin(), first.end(), *out);
    *out = std::copy(second.begin(), second.end(), *out);
    *(*out)++ = '\0';
    return start;
}

} // namespace

user_profile *new_profile(tvn_request *request) {
    tvn_mpool *pools = request->mpool;
    auto *profile = static_cast<user_profile *>(
        pools->tvn_malloc(pools->request_pool, uint32_t(sizeof(user_profile))));
    if (profile == nullptr) return nullptr;
    *profile = user_profile{};
    profile->username = request->username;
    profile->password = request->password;
    return profile;
}

void drop_profile(tvn_request *request, user_profile *profile) {
    free_profile(request, profile);
    request->mpool->tvn_free(request->mpool->request_pool, profile);
}

int get_profile(tvn_request *request, const char *passwd_file, record_layout layout,
                user_profile *profile, name_match match) {
    FILE *database = std::fopen(passwd_file, "r");
    if (database == nullptr) {
        tvnprint(request, "%s %s", "Can't open database file ", passwd_file);
        return NOT_HANDLED;
    }
    long offset = 0;
    char *record = search_user_line(database, profile->username, &offset, match);
    std::fclose(database);
    if (record == nullptr) return NOT_HANDLED;

    account_record fields;
    const bool complete =
        read_record_fields(record, std::strlen(profile->username), layout, &fields);
    int status = OK;
    if (!complete) {
        tvnprint(request, "%s %s", " Corrupted database file ", passwd_file);
        status = WRONG_AUTH;
    } else {
        tvn_mpool *pools = request->mpool;
        tvn_pool *pool = pools->request_pool;
        bool failed = false;
        profile->owner_pwd = pool_copy(pools, pool, fields.owner_hash, &failed);
        profile->guest_pwd = pool_copy(pools, pool, fields.guest_hash, &failed);
        profile->home_dir = pool_copy(pools, pool, fields.home_dir, &failed);
        profile->private_dir = pool_copy(pools, pool, fields.private_dir, &failed);
        profile->public_dir = pool_copy(pools, pool, fields.public_dir, &failed);
        profile->web_dir = pool_copy(pools, pool, fields.web_dir, &failed);
        if (failed) status = INTERNAL_SERVER_ERR;
    }
    std::free(record);
    return status;
}

void free_profile(tvn_request *request, user_profile *profile) {
    tvn_mpool *pools = request->mpool;
    for (char **text : {&profile->guest_pwd, &profile->owner_pwd, &profile->home_dir,
                        &profile->private_dir, &profile->public_dir, &profile->web_dir}) {
        pools->tvn_free(pools->request_pool, *text);
        *text = nullptr;
    }
}

int copy_profile(tvn_request *request, const user_profile *profile) {
    tvn_mpool *pools = request->mpool;
    request->private_dir = request->public_dir = request->web_dir = nullptr;
    if (profile->home_dir != nullptr) {
        const std::string_view home(profile->home_dir);
        const bool guest = request->is_guest == 1;
        // "/Private", "/Public" and "/Web" with their terminating zeros take 22 bytes.
        const std::size_t size = guest ? home.size() + 8 : 3 * home.size() + 22;
        auto *block =
            static_cast<char *>(pools->tvn_malloc(pools->connection_pool, uint32_t(size)));
        if (block == nullptr) return INTERNAL_SERVER_ERR;
        char *out = block;
        if (!guest) request->private_dir = put_text(&out, home, "/Private");
        request->public_dir = put_text(&out, home, "/Public");
        if (!guest) request->web_dir = put_text(&out, home, "/Web");
        return OK;
    }
    const char *const given[] = {profile->private_dir, profile->public_dir, profile->web_dir};
    std::size_t size = 0;
    for (const char *dir : given)
        if (dir != nullptr) size += std::strlen(dir) + 1;
    if (size == 0) return OK;
    auto *block = static_cast<char *>(pools->tvn_malloc(pools->connection_pool, uint32_t(size)));
    if (block == nullptr) return INTERNAL_SERVER_ERR;
    char *out = block;
    char **const taken[] = {&request->private_dir, &request->public_dir, &request->web_dir};
    for (int i = 0; i < 3; ++i)
        if (given[i] != nullptr) *taken[i] = put_text(&out, given[i]);
    return OK;
}
