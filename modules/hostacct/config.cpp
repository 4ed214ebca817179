// The module's configuration: reading the section "mod_system_users" (VirtualDomain
// subsections only) at start-up, and releasing it when the server exits. Every record lives
// in the start-up pool.
#include <cstring>
#include <string_view>

#include "hostacct.h"
#include "utils.h"

namespace hostacct {

namespace {

constexpr long line_size = 40;

void release_domain(tvn_init_mpool *mpool, host_domain *domain) {
    mpool->tvn_free(mpool->init_pool, domain->passwd_file);
    release_names(mpool, domain->aliases);
    release_names(mpool, domain->authorized_groups);
    release_names(mpool, domain->authorized_shells);
    mpool->tvn_free(mpool->init_pool, domain);
}

// Applies one key of a VirtualDomain subsection. 0, or -1 after a message.
int put_elem(tvn_init_mpool *mpool, host_domain *domain, const char *key, const char *value) {
    const std::string_view name(key);
    value_check check = value_check::accepted;
    if (name == "PasswdFile") {
        // A repeated database is only worth a warning: the first one stays.
        if (domain->passwd_file != nullptr) {
            std::printf("Keep attention, field 'PasswdFile' inserted two times.\n"
                        "We are storing the first one\n");
            return 0;
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
    } else if (name == "ShowSymLink") {
        check = switch_value(value, domain->link_flags, TVN_LINK_SHOW);
    } else if (name == "FollowSymLink") {
        check = switch_value(value, domain->link_flags, TVN_LINK_FOLLOW);
    } else if (name == "AuthorizedGroup") {
        if (!add_name(mpool, &domain->authorized_groups, value)) return -1;
    } else if (name == "AuthorizedShell") {
        if (!add_name(mpool, &domain->authorized_shells, value)) return -1;
    } else if (name == "Alias") {
        if (!add_name(mpool, &domain->aliases, value)) return -1;
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

// Reads one VirtualDomain subsection, up to a closing tag or the end of the file. A missing
// "PasswdFile" is not an error here: only the first domain must have one.
int read_section(FILE *fp, tvn_init_mpool *mpool, host_domain **read) {
    auto *domain = static_cast<host_domain *>(init_pool_alloc(mpool, sizeof(host_domain)));
    if (domain == nullptr) return -1;
    domain->password_hash = salt_form::md5;
    const int keys = read_subsection_keys(fp, line_size, [&](const char *key, const char *value) {
        return put_elem(mpool, domain, key, value);
    });
    const bool failed = keys < 0;
    const bool any_key = keys > 0;
    if (failed || !any_key) {
        release_domain(mpool, domain);
        return -1;
    }
    *read = domain;
    return 0;
}

enum class section_line { end, failed };

// A line of the module section outside the subsections: only the closing tag belongs there.
section_line module_section_line(char *line) {
    if (find_tag(line, "/module") == 1) return section_line::end;
    row words{};
    read_word(line, &words);
    std::printf("Module %s: section not complete\n", module_name);
    std::printf("Module %s: unknown filed %s\n", module_name, words.text[0]);
    return section_line::failed;
}

int read_module_section(FILE *fp, tvn_init_mpool *mpool, host_domain **first) {
    config_line line(line_size);
    if (!line.usable()) return -1;
    host_domain **last = first;
    while (line.next(fp)) {
        const int tag = find_tag(line.text, "VirtualDomain");
        if (tag == -1) continue;
        if (tag == 1) {
            if (read_section(fp, mpool, last) != 0) return -1;
            last = &(*last)->next;
            continue;
        }
        if (module_section_line(line.text) == section_line::failed) return -1;
        break;
    }
    return 0;
}

}  // namespace

int read_domain(FILE *fp, tvn_init_mpool *mpool, host_domain **first) {
    *first = nullptr;
    if (search_module(fp, module_name) != 0) return -1;
    host_domain *read = nullptr;
    if (read_module_section(fp, mpool, &read) != 0) {
        release_domains(mpool, read);
        return -1;
    }
    *first = read;
    return 0;
}

void release_domains(tvn_init_mpool *mpool, host_domain *first) {
    while (first != nullptr) {
        host_domain *next = first->next;
        release_domain(mpool, first);
        first = next;
    }
}

int server_exit(tvn_module *module) {
    release_domains(module->mpool, static_cast<host_domain *>(module->init_module_data));
    module->init_module_data = nullptr;
    return 1;
}

int init(tvn_module *module) {
    host_domain *first = nullptr;
    FILE *fp = std::fopen("conf/tolvane.conf", "r");
    const bool read = fp != nullptr && read_domain(fp, module->mpool, &first) == 0;
    if (fp != nullptr) std::fclose(fp);
    if (!read || first == nullptr) {
        std::printf("Can't read config file for %s module\n", module_name);
        return INTERNAL_SERVER_ERR;
    }
    // Later domains without a database are accepted: their users are simply never found.
    if (first->passwd_file == nullptr) {
        std::printf("unix_auth_sys module: passwd_file field is not specified.\n");
        release_domains(module->mpool, first);
        return INTERNAL_SERVER_ERR;
    }
    fill_account_module(module, module_name, first,
                        {auth, access_check, connection_closing, change_password, server_exit});
    return 1;
}

}  // namespace hostacct
