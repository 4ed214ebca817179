// The keys every account domain holds, as one table, and the reading of subsections and
// module sections.
#include "domain_config.h"

#include <cstring>

#include "utils.h"

namespace {

// An Enabled/Disabled key: "Enabled" sets bit in flag; "Disabled" leaves it as it is.
template <typename Flag>
key_result switch_value(const char *value, Flag &flag, unsigned bit) {
    if (std::strcmp(value, "Enabled") == 0)
        flag = static_cast<Flag>(flag | bit);
    else if (std::strcmp(value, "Disabled") != 0)
        return key_result::invalid_value;
    return key_result::accepted;
}

key_result passwd_file(account_domain &domain, const char *value, tvn_init_mpool *mpool) {
    if (domain.passwd_file != nullptr) return key_result::repeated;
    domain.passwd_file = init_pool_copy(mpool, value);
    return domain.passwd_file != nullptr ? key_result::accepted : key_result::failed;
}

key_result enable_domain(account_domain &domain, const char *value, tvn_init_mpool *) {
    if (std::strcmp(value, "1") == 0)
        domain.enabled = 1;
    else if (std::strcmp(value, "0") == 0)
        domain.enabled = 0;
    else
        return key_result::invalid_value;
    return key_result::accepted;
}

constexpr domain_key shared_keys[] = {
    {"PasswdFile", passwd_file},
    {"EnableDomain", enable_domain},
    {"OwnerChangePassword",
     [](account_domain &domain, const char *value, tvn_init_mpool *) {
         return switch_value(value, domain.owner_change_password, 1);
     }},
    {"GuestChangePassword",
     [](account_domain &domain, const char *value, tvn_init_mpool *) {
         return switch_value(value, domain.guest_change_password, 1);
     }},
    {"ShowSymLink",
     [](account_domain &domain, const char *value, tvn_init_mpool *) {
         return switch_value(value, domain.link_flags, TVN_LINK_SHOW);
     }},
    {"FollowSymLink",
     [](account_domain &domain, const char *value, tvn_init_mpool *) {
         return switch_value(value, domain.link_flags, TVN_LINK_FOLLOW);
     }},
    {"PasswordHash",
     [](account_domain &domain, const char *value, tvn_init_mpool *) {
         return salt_form_named(value, &domain.password_hash) ? key_result::accepted
                                                              : key_result::invalid_value;
     }},
    {"Alias",
     [](account_domain &domain, const char *value, tvn_init_mpool *mpool) {
         return add_name(mpool, &domain.aliases, value) ? key_result::accepted : key_result::failed;
     }},
};

const domain_key *key_named(std::span<const domain_key> keys, std::string_view name) {
    for (const domain_key &key : keys)
        if (key.name == name) return &key;
    return nullptr;
}

// Applies one key: the module's own first, then the shared ones. 0, or -1 after a message.
int put_domain_key(account_domain &domain, const char *key, const char *value,
                   tvn_init_mpool *mpool, const domain_rules &rules) {
    const domain_key *found = key_named(rules.own_keys, key);
    if (found == nullptr) found = key_named(shared_keys, key);
    if (found == nullptr) {
        std::printf("Unknown field %s\n", key);
        return -1;
    }
    switch (found->apply(domain, value, mpool)) {
    case key_result::accepted: return 0;
    case key_result::invalid_value:
        std::printf("Invalid value %s  for %s\n", value, key);
        return -1;
    case key_result::repeated:
        std::printf("%s", rules.repeated_passwd_file);
        return rules.repeated_passwd_file_fails ? -1 : 0;
    case key_result::failed: break;
    }
    return -1;
}

} // namespace

bool read_domain_keys(FILE *fp, tvn_init_mpool *mpool, account_domain &domain,
                      const domain_rules &rules) {
    line_buffer line(rules.line_size);
    if (!line.usable()) return false;
    int keys = 0;
    while (line.next(fp)) {
        row words{};
        read_word(line.text, &words);
        const char *key = words.text[0];
        if (key[0] == '\0' || key[0] == '#') continue;
        if (key[0] == '<') {
            if (key[1] == '/') break;
            std::printf("Domain section badly closed\n");
            return false;
        }
        if (put_domain_key(domain, key, words.text[1], mpool, rules) != 0) return false;
        ++keys;
    }
    return rules.complete(domain, keys);
}

void release_domain_keys(tvn_init_mpool *mpool, account_domain &domain, const domain_rules &rules) {
    if (rules.release_own != nullptr) rules.release_own(mpool, domain);
    mpool->tvn_free(mpool->init_pool, domain.passwd_file);
    release_names(mpool, domain.aliases);
}

int walk_module_section(FILE *fp, long line_size, const std::function<int()> &subsection,
                        const std::function<section_line(char *line)> &other_line) {
    line_buffer line(line_size);
    if (!line.usable()) return -1;
    while (line.next(fp)) {
        const int tag = find_tag(line.text, "VirtualDomain");
        if (tag == -1) continue;
        if (tag == 1) {
            if (subsection() != 0) return -1;
            continue;
        }
        const section_line result = other_line(line.text);
        if (result == section_line::failed) return -1;
        if (result == section_line::end) break;
    }
    return 0;
}
