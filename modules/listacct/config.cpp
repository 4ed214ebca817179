// The module's configuration: reading the section "mod_virtual_users" (the service account
// and the VirtualDomain subsections) at start-up, and releasing it when the server exits.
// Every record lives in the start-up pool.
#include <grp.h>
#include <pwd.h>

#include <cstring>
#include <string_view>

#include "listacct.h"
#include "utils.h"

namespace listacct {

namespace {

constexpr long line_size = 100;

void release_domain(tvn_init_mpool *mpool, list_domain *domain) {
    mpool->tvn_free(mpool->init_pool, domain->passwd_file);
    release_names(mpool, domain->aliases);
    mpool->tvn_free(mpool->init_pool, domain);
}

// Applies one key of a VirtualDomain subsection. 0, or -1 after a message.
int put_elem(tvn_init_mpool *mpool, list_domain *domain, const char *key, const char *value) {
    const std::string_view name(key);
    value_check check = value_check::accepted;
    if (name == "PasswdFile") {
        if (domain->passwd_file != nullptr) {
            std::printf("You have already inserted field 'PasswdFile' \n");
            return -1;
        }
        domain->passwd_file = init_pool_copy(mpool, value);
        if (domain->passwd_file == nullptr) return -1;
    } else if (name == "EnableDomain") {
        if (std::strcmp(value, "1") == 0) domain->enabled = 1;
        else if (std::strcmp(value, "0") == 0) domain->enabled = 0;
        else check = value_check::invalid;
    } else if (name == "OwnerChangePassword") {
        check = switch_value(value, domain->owner_change_password, 1);
    } else if (name == "GuestChangePassword") {
        check = switch_value(value, domain->guest_change_password, 1);
    } else if (name == "Alias") {
        if (!add_name(mpool, &domain->aliases, value)) return -1;
    } else if (name == "ShowSymLink") {
        check = switch_value(value, domain->link_flags, TVN_LINK_SHOW);
    } else if (name == "FollowSymLink") {
        check = switch_value(value, domain->link_flags, TVN_LINK_FOLLOW);
    } else if (name == "PasswordHash") {
        if (!salt_form_named(value, &domain->password_hash)) check = value_check::invalid;
    } else {
        std::printf("Unknown field %s\n", key);
        return -1;
    }
    if (check == value_check::invalid) {
        std::printf("Invalid value %s  for %s\n", value, key);
        return -1;
    }
    return 0;
}

// Reads one VirtualDomain subsection, up to a closing tag or the end of the file.
int read_section(FILE *fp, tvn_init_mpool *mpool, list_domain **read) {
    auto *domain = static_cast<list_domain *>(init_pool_alloc(mpool, sizeof(list_domain)));
    if (domain == nullptr) return -1;
    domain->password_hash = salt_form::md5;
    const int keys = read_subsection_keys(fp, line_size, [&](const char *key, const char *value) {
        return put_elem(mpool, domain, key, value);
    });
    bool failed = keys < 0;
    if (!failed && domain->passwd_file == nullptr) {
        std::printf("Module %s: can't read PasswdFile field, please insert one\n", module_name);
        failed = true;
    }
    if (failed) {
        release_domain(mpool, domain);
        return -1;
    }
    *read = domain;
    return 0;
}

enum class section_line { more, end, failed };

// A line of the module section outside the subsections: the service account, or the
// section's closing tag.
section_line put_module_section_value(char *line, list_settings *settings) {
    if (find_tag(line, "/module") == 1) return section_line::end;
    row words{};
    read_word(line, &words);
    const std::string_view key(words.text[0]);
    const char *value = words.text[1];
    if (key == "TvnUser") {
        const passwd *user = getpwnam(value);
        if (user == nullptr) {
            std::printf("Module %s: user %s does't exist, please create it\n", module_name, value);
            return section_line::failed;
        }
        settings->user_id = user->pw_uid;
    } else if (key == "TvnGroup") {
        const group *found = getgrnam(value);
        if (found == nullptr) {
            std::printf("Module %s: group %s does't exist, please create it\n", module_name,
                        value);
            return section_line::failed;
        }
        settings->group_id = found->gr_gid;
    } else {
        std::printf("Module %s: section not complete\n", module_name);
        return section_line::failed;
    }
    return section_line::more;
}

// Root, as user or group, counts as not given: the service account is never root.
int apply_defaults(list_settings *settings) {
    if (settings->user_id != 0 && settings->group_id != 0) return 0;
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) {
        std::printf("Module %s: user 'nobody' does't exist, please create it\n", module_name);
        return -1;
    }
    if (settings->user_id == 0) settings->user_id = nobody->pw_uid;
    if (settings->group_id == 0) settings->group_id = nobody->pw_gid;
    return 0;
}

int read_module_section(FILE *fp, tvn_init_mpool *mpool, list_settings *settings) {
    config_line line(line_size);
    if (!line.usable()) return -1;
    list_domain **last = &settings->domains;
    while (line.next(fp)) {
        const int tag = find_tag(line.text, "VirtualDomain");
        if (tag == -1) continue;
        if (tag == 1) {
            if (read_section(fp, mpool, last) != 0) return -1;
            last = &(*last)->next;
            continue;
        }
        const section_line result = put_module_section_value(line.text, settings);
        if (result == section_line::failed) return -1;
        if (result == section_line::end) break;
    }
    return apply_defaults(settings);
}

}  // namespace

int read_domain(FILE *fp, tvn_init_mpool *mpool, list_settings **settings) {
    if (search_module(fp, module_name) != 0) return -1;
    auto *read = static_cast<list_settings *>(init_pool_alloc(mpool, sizeof(list_settings)));
    if (read == nullptr) return -1;
    if (read_module_section(fp, mpool, read) != 0) {
        release_settings(mpool, read);
        return -1;
    }
    *settings = read;
    return 0;
}

void release_settings(tvn_init_mpool *mpool, list_settings *settings) {
    if (settings == nullptr) return;
    for (list_domain *domain = settings->domains; domain != nullptr;) {
        list_domain *next = domain->next;
        release_domain(mpool, domain);
        domain = next;
    }
    mpool->tvn_free(mpool->init_pool, settings);
}

int server_exit(tvn_module *module) {
    release_settings(module->mpool, static_cast<list_settings *>(module->init_module_data));
    module->init_module_data = nullptr;
    return 1;
}

int init(tvn_module *module) {
    list_settings *settings = nullptr;
    FILE *fp = std::fopen("conf/tolvane.conf", "r");
    const bool read = fp != nullptr && read_domain(fp, module->mpool, &settings) == 0;
    if (fp != nullptr) std::fclose(fp);
    if (!read) {
        std::printf("Can't read config file for %s module\n", module_name);
        return INTERNAL_SERVER_ERR;
    }
    fill_account_module(module, module_name, settings,
                        {auth, access_check, connection_closing, change_password, server_exit});
    return 1;
}

}  // namespace listacct
