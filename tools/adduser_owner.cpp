// The service account of the list-account module, as tvnadduser finds it in the server's
// configuration.
#include "adduser_owner.h"

#include <grp.h>
#include <pwd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "utils.h"

namespace {

constexpr long config_line_size = 100;

struct service_names {
    std::optional<std::string> user;
    std::optional<std::string> group;
};

// The values of "TvnUser" and "TvnGroup" up to the end of the module section. False when
// memory ran out.
bool get_user_from_file(const std::string &path, service_names *names) {
    FILE *config = std::fopen(path.c_str(), "r");
    if (config == nullptr) return true;
    if (search_module(config, "mod_virtual_users") != 0) {
        std::fflush(stdout);
        std::fclose(config);
        return true;
    }
    line_buffer line(config_line_size);
    if (!line.usable()) {
        std::fclose(config);
        return false;
    }
    while (line.next(config)) {
        if (find_tag(line.text, "/module") == 1) break;
        row words{};
        read_word(line.text, &words);
        if (std::strcmp(words.text[0], "TvnUser") == 0)
            names->user = words.text[1];
        else if (std::strcmp(words.text[0], "TvnGroup") == 0)
            names->group = words.text[1];
    }
    std::fclose(config);
    return true;
}

void say_missing(const char *format, const char *name) {
    std::printf(format, name);
    std::fflush(stdout);
}

} // namespace

bool set_id(const char *root_dir, new_account &account) {
    service_names names;
    if (!get_user_from_file(std::string(root_dir) + "/conf/tolvane.conf", &names)) return false;

    const std::string user = names.user.value_or("nobody");
    const passwd *service = getpwnam(user.c_str());
    if (service == nullptr) {
        say_missing("The '%s' user does not exist.\n", user.c_str());
        return false;
    }
    uid_t user_id = service->pw_uid;
    gid_t group_id = 0;
    if (names.group) {
        const group *service_group = getgrnam(names.group->c_str());
        if (service_group == nullptr) {
            say_missing("The '%s' group does not exist.\n", names.group->c_str());
            return false;
        }
        group_id = service_group->gr_gid;
    }
    // The module never runs as root: it takes "nobody" instead, and so must the owner of the
    // directories, or the account could not write its own files.
    if (!names.group || group_id == 0 || user_id == 0) {
        const passwd *nobody = getpwnam("nobody");
        if (nobody == nullptr) {
            say_missing("The default '%s' user does not exist.\n", "nobody");
            return false;
        }
        if (!names.group || group_id == 0) group_id = nobody->pw_gid;
        if (user_id == 0) user_id = nobody->pw_uid;
    }
    account.user_id = user_id;
    account.group_id = group_id;
    return true;
}
