// The module's configuration: reading the section "mod_virtual_users" (the service account
// and the VirtualDomain subsections) at start-up, and releasing it when the server exits.
// Every record lives in the start-up pool.
#include <grp.h>
#include <pwd.h>

#include <cstdio>
#include <string_view>

#include "domain_warnings.h"
#include "listacct.h"
#include "utils.h"

namespace listacct {

namespace {

// A subsection makes a domain only with its database.
bool names_its_database(const account_domain &domain, int) {
    if (domain.passwd_file != nullptr) return true;
    std::printf("Module %s: can't read PasswdFile field, please insert one\n", module_name);
    return false;
}

// The module reads only the keys every account domain holds; a second database is an error.
constexpr domain_rules rules{
    .line_size = 100,
    .own_keys = {},
    .repeated_passwd_file = "You have already inserted field 'PasswdFile' \n",
    .repeated_passwd_file_fails = true,
    .complete = names_its_database,
    .release_own = nullptr,
};

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
            std::printf("Module %s: group %s does't exist, please create it\n", module_name, value);
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
    const int read = read_domains(fp, mpool, rules, &settings->domains, [&](char *line) {
        return put_module_section_value(line, settings);
    });
    return read != 0 ? -1 : apply_defaults(settings);
}

} // namespace

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
    release_domains(mpool, settings->domains, rules);
    mpool->tvn_free(mpool->init_pool, settings);
}

int server_exit(tvn_module *module) {
    release_settings(module->mpool, static_cast<list_settings *>(module->init_module_data));
    module->init_module_data = nullptr;
    return 1;
}

int init(tvn_module *module) {
    list_settings *settings = nullptr;
    if (!read_module_config(
            module_name, [&](FILE *fp) { return read_domain(fp, module->mpool, &settings) == 0; }))
        return INTERNAL_SERVER_ERR;
    module->init_module_data = settings;
    fill_module(module, module_name,
                {.auth_check = auth,
                 .access_check = access_check,
                 .connection_closing = connection_closing,
                 .change_pwd = change_password,
                 .server_exit = server_exit});
    return 1;
}

void warn_about_domains(const tvn_module *module) {
    const auto *settings = static_cast<const list_settings *>(module->init_module_data);
    for (const list_domain *domain = settings->domains; domain != nullptr; domain = domain->next)
        warn_about_domain(module_name, *domain, database_writer{settings->user_id, settings->group_id});
}

} // namespace listacct
