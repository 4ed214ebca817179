// The pieces the account modules share: start-up pool lists and configuration lines, profile
// reading, the user's directories, the symbolic-link rule and the new hash of a change.
#include "account_module.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

// Appends text to *out and ends it; returns the start of what was written.
char *put_text(char **out, std::string_view first, std::string_view second = {}) {
    char *start = *out;
    std::memcpy(*out, first.data(), first.size());
    *out += first.size();
    std::memcpy(*out, second.data(), second.size());
    *out += second.size();
    *(*out)++ = '\0';
    return start;
}

bool is_symlink(const char *path) {
    struct stat status {};
    return path != nullptr && lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

void *init_pool_alloc(tvn_init_mpool *mpool, std::size_t size) {
    void *block = mpool->tvn_malloc(mpool->init_pool, uint32_t(size));
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

char *init_pool_copy(tvn_init_mpool *mpool, const char *text) {
    auto *copy = static_cast<char *>(init_pool_alloc(mpool, std::strlen(text) + 1));
    if (copy != nullptr) std::strcpy(copy, text);
    return copy;
}

bool add_name(tvn_init_mpool *mpool, name_node **list, const char *name) {
    const std::size_t length = std::strlen(name);
    auto *node = static_cast<name_node *>(init_pool_alloc(mpool, sizeof(name_node) + length + 1));
    if (node == nullptr) return false;
    node->name = reinterpret_cast<char *>(node + 1);
    std::memcpy(node->name, name, length + 1);
    node->next = *list;
    *list = node;
    return true;
}

void release_names(tvn_init_mpool *mpool, name_node *list) {
    while (list != nullptr) {
        name_node *next = list->next;
        mpool->tvn_free(mpool->init_pool, list);
        list = next;
    }
}

config_line::config_line(long initial_size)
    : text(static_cast<char *>(std::calloc(std::size_t(initial_size), 1))),
      size_(initial_size) {}

config_line::~config_line() { std::free(text); }

void fill_account_module(tvn_module *module, const char *name, void *data,
                         const account_hooks &hooks) {
    module->module_name = const_cast<char *>(name);
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->init_module_data = data;
    module->auth_check = hooks.auth_check;
    module->auth_check2 = nullptr;
    module->message_lookup = nullptr;
    module->access_check = hooks.access_check;
    module->path_translation = nullptr;
    module->logging = nullptr;
    module->connection_closing = hooks.connection_closing;
    module->change_pwd = hooks.change_pwd;
    module->server_exit = hooks.server_exit;
}

int read_subsection_keys(FILE *fp, long line_size,
                         const std::function<int(const char *key, const char *value)> &apply) {
    config_line line(line_size);
    if (!line.usable()) return -1;
    int keys = 0;
    while (line.next(fp)) {
        if (line.text[0] == '\0') continue;
        row words{};
        read_word(line.text, &words);
        const char *key = words.text[0];
        if (key[0] == '\0' || key[0] == '#') continue;
        if (key[0] == '<') {
            if (key[1] == '/') break;
            std::printf("Domain section badly closed\n");
            return -1;
        }
        if (apply(key, words.text[1]) != 0) return -1;
        ++keys;
    }
    return keys;
}

bool config_line::next(FILE *fp) {
    std::memset(text, 0, std::size_t(size_));
    const long got = readline(fp, '\n', size_, &text, 1);
    if (got == -1) return false;
    size_ = got;
    return true;
}

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
        auto *block = static_cast<char *>(
            pools->tvn_malloc(pools->connection_pool, uint32_t(size)));
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
    auto *block =
        static_cast<char *>(pools->tvn_malloc(pools->connection_pool, uint32_t(size)));
    if (block == nullptr) return INTERNAL_SERVER_ERR;
    char *out = block;
    char **const taken[] = {&request->private_dir, &request->public_dir, &request->web_dir};
    for (int i = 0; i < 3; ++i)
        if (given[i] != nullptr) *taken[i] = put_text(&out, given[i]);
    return OK;
}

int refuse_switch(tvn_request *request, const char *message) {
    tvnprint(request, "%s", message);
    request->user_module_data = nullptr;
    request->is_guest = 2;
    request->private_dir = request->public_dir = request->web_dir = nullptr;
    return WRONG_AUTH;
}

namespace {
constexpr uintptr_t LOGGED_IN = 0x100; // above every link flag
}

void *login_data(uint8_t link_flags) {
    return reinterpret_cast<void *>(LOGGED_IN | uintptr_t(link_flags));
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
    auto *copy =
        static_cast<char *>(pools->tvn_malloc(pools->request_pool, uint32_t(length + 1)));
    if (copy == nullptr) return false;
    std::memcpy(copy, hash, length + 1);
    request->local_path1 = copy;
    return true;
}
