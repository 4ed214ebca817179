// The module's configuration: reading the section "mod_system_users" (VirtualDomain
// subsections only) at start-up, and releasing it when the server exits. Every record lives
// in the start-up pool.
#include <cstdio>

#include "domain_warnings.h"
#include "hostacct.h"
#include "utils.h"

namespace hostacct {

namespace {

// The keys a host domain adds to those every account domain holds.
constexpr domain_key host_keys[] = {
    {"AuthorizedGroup",
     [](account_domain &domain, const char *value, tvn_init_mpool *mpool) {
         auto &host = static_cast<host_domain &>(domain);
         return add_name(mpool, &host.authorized_groups, value) ? key_result::accepted
                                                                : key_result::failed;
     }},
    {"AuthorizedShell",
     [](account_domain &domain, const char *value, tvn_init_mpool *mpool) {
         auto &host = static_cast<host_domain &>(domain);
         return add_name(mpool, &host.authorized_shells, value) ? key_result::accepted
                                                                : key_result::failed;
     }},
};

// A missing "PasswdFile" is not an error here (only the first domain must have one), but a
// subsection without any key is.
bool holds_a_key(const account_domain &, int keys) { return keys > 0; }

void release_lists(tvn_init_mpool *mpool, account_domain &domain) {
    auto &host = static_cast<host_domain &>(domain);
    release_names(mpool, host.authorized_groups);
    release_names(mpool, host.authorized_shells);
}

// A repeated database is only worth a warning: the first one stays.
constexpr domain_rules rules{
    .line_size = 40,
    .own_keys = host_keys,
    .repeated_passwd_file =
        "Keep attention, field 'PasswdFile' inserted two times.\n"
        "We are storing the first one\n",
    .repeated_passwd_file_fails = false,
    .complete = holds_a_key,
    .release_own = release_lists,
};

// A line of the module section outside the subsections: only the closing tag belongs there.
section_line module_section_line(char *line) {
    if (find_tag(line, "/module") == 1) return section_line::end;
    row words{};
    read_word(line, &words);
    std::printf("Module %s: section not complete\n", module_name);
    std::printf("Module %s: unknown filed %s\n", module_name, words.text[0]);
    return section_line::failed;
}

} // namespace

int read_domain(FILE *fp, tvn_init_mpool *mpool, host_domain **first) {
    *first = nullptr;
    if (search_module(fp, module_name) != 0) return -1;
    host_domain *read = nullptr;
    if (read_domains(fp, mpool, rules, &read, module_section_line) != 0) {
        release_domains(mpool, read);
        return -1;
    }
    *first = read;
    return 0;
}

void release_domains(tvn_init_mpool *mpool, host_domain *first) {
    ::release_domains(mpool, first, rules);
}

int server_exit(tvn_module *module) {
    release_domains(module->mpool, static_cast<host_domain *>(module->init_module_data));
    module->init_module_data = nullptr;
    return 1;
}

int init(tvn_module *module) {
    host_domain *first = nullptr;
    // A section without any domain cannot serve a login.
    if (!read_module_config(module_name, [&](FILE *fp) {
            return read_domain(fp, module->mpool, &first) == 0 && first != nullptr;
        }))
        return INTERNAL_SERVER_ERR;
    // Later domains without a database are accepted: their users are simply never found.
    if (first->passwd_file == nullptr) {
        std::printf("unix_auth_sys module: passwd_file field is not specified.\n");
        release_domains(module->mpool, first);
        return INTERNAL_SERVER_ERR;
    }
    module->init_module_data = first;
    fill_module(module, module_name,
                {.auth_check = auth,
                 .access_check = access_check,
                 .connection_closing = connection_closing,
                 .change_pwd = change_password,
                 .server_exit = server_exit});
    return 1;
}

void warn_about_domains(const tvn_module *module) {
    // Host users change passwords as themselves or as root: only the reading is checked.
    for (auto *domain = static_cast<const host_domain *>(module->init_module_data); domain != nullptr;
         domain = domain->next)
        warn_about_domain(module_name, *domain, std::nullopt);
}

} // namespace hostacct
