// The module record a module fills in its init_module: its name, its version 1.1 and its
// hooks. A module names the hooks it has; every other stage stays empty.
#pragma once

#include <cstdio>
#include <functional>

#include "tolvane/module.h"

struct module_hooks {
    tvn_hook auth_check = nullptr;
    tvn_hook auth_check2 = nullptr;
    tvn_hook message_lookup = nullptr;
    tvn_hook access_check = nullptr;
    tvn_hook path_translation = nullptr;
    tvn_hook logging = nullptr;
    tvn_hook connection_closing = nullptr;
    tvn_hook change_pwd = nullptr;
    tvn_exit_hook server_exit = nullptr;
};

// Sets the module's name, versions and hooks; the module's data is the module's to set.
inline void fill_module(tvn_module *module, const char *name, const module_hooks &hooks) {
    module->module_name = const_cast<char *>(name);
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->auth_check = hooks.auth_check;
    module->auth_check2 = hooks.auth_check2;
    module->message_lookup = hooks.message_lookup;
    module->access_check = hooks.access_check;
    module->path_translation = hooks.path_translation;
    module->logging = hooks.logging;
    module->connection_closing = hooks.connection_closing;
    module->change_pwd = hooks.change_pwd;
    module->server_exit = hooks.server_exit;
}

// Opens "conf/tolvane.conf" (relative to the working directory, which is the server root) and
// lets read take the module's section from it. False, after "Can't read config file for %s
// module\n" with the module's name, when the file cannot be opened or read says so.
inline bool read_module_config(const char *module_name, const std::function<bool(FILE *)> &read) {
    FILE *fp = std::fopen("conf/tolvane.conf", "r");
    const bool done = fp != nullptr && read(fp);
    if (fp != nullptr) std::fclose(fp);
    if (!done) std::printf("Can't read config file for %s module\n", module_name);
    return done;
}
