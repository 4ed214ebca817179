// An account module for the tests: one fixed login, tester@test, with the owner password
// "secret" and the guest password "guest"; its areas are ROOT/home/{Private,Public,Web}.
// The file ROOT/conf/test_auth, read at every call, can make it misbehave:
//   redirect  auth_check answers REDIRECT      internal  auth_check answers INTERNAL_SERVER_ERR
//   switch    after a login the worker becomes the user nobody (needs root)
//   pwfail    change_pwd answers INTERNAL_SERVER_ERR
//   links     sessions may list and follow symbolic links
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tolvane/module.h"

namespace {

struct settings {
    char mode_file[1024];
    char home[1024];
};

std::string mode(const tvn_request *request) {
    std::ifstream in(static_cast<const settings *>(request->init_module_data)->mode_file);
    std::string word;
    in >> word;
    return word;
}

char *pool_copy(tvn_request *request, const std::string &text) {
    tvn_mpool *pools = request->mpool;
    auto *copy =
        static_cast<char *>(pools->tvn_malloc(pools->connection_pool, uint32_t(text.size() + 1)));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool is_tester(const tvn_request *request) {
    return std::strcmp(request->username, "tester") == 0 &&
           std::strcmp(request->domain, "test") == 0;
}

int auth_check(tvn_request *request) {
    if (std::strcmp(request->domain, "test") != 0) return NOT_HANDLED;
    const std::string how = mode(request);
    if (how == "redirect") return REDIRECT;
    if (how == "internal") return INTERNAL_SERVER_ERR;
    if (!is_tester(request)) return NOT_HANDLED;
    if (std::strcmp(request->password, "secret") == 0)
        request->is_guest = 0;
    else if (std::strcmp(request->password, "guest") == 0)
        request->is_guest = 1;
    else
        return WRONG_AUTH;
    const std::string home = static_cast<settings *>(request->init_module_data)->home;
    request->private_dir = pool_copy(request, home + "/Private");
    request->public_dir = pool_copy(request, home + "/Public");
    request->web_dir = pool_copy(request, home + "/Web");
    request->user_module_data = reinterpret_cast<void *>(1);
    if (how == "switch") {
        const passwd *nobody = getpwnam("nobody");
        const gid_t group = nobody->pw_gid;
        if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(nobody->pw_uid) != 0)
            return WRONG_AUTH;
    }
    return OK;
}

// Grants the session its link rights and leaves the decision to the other modules.
int access_check(tvn_request *request) {
    if (request->user_module_data == nullptr) return NOT_HANDLED;
    request->link_permission = mode(request) == "links" ? TVN_LINK_SHOW | TVN_LINK_FOLLOW : 0;
    return NOT_HANDLED;
}

int change_pwd(tvn_request *request) {
    if (!is_tester(request)) return NOT_HANDLED;
    if (mode(request) == "pwfail") return INTERNAL_SERVER_ERR;
    if (std::strcmp(request->password, "secret") != 0) return NOT_HANDLED;
    request->local_path1 = request->remote_path1;
    request->disconnect = 1;
    return OK;
}

} // namespace

extern "C" int init_module(tvn_module *module, const char *server_root) {
    auto *own = static_cast<settings *>(
        module->mpool->tvn_malloc(module->mpool->init_pool, sizeof(settings)));
    if (own == nullptr) return 8;
    std::snprintf(own->mode_file, sizeof own->mode_file, "%sconf/test_auth", server_root);
    std::snprintf(own->home, sizeof own->home, "%shome", server_root);
    module->module_name = const_cast<char *>("test_auth");
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->init_module_data = own;
    module->auth_check = auth_check;
    module->access_check = access_check;
    module->change_pwd = change_pwd;
    return 1;
}
