// The module's entry point: its configuration, its name, its versions and its two hooks.
#include <cstdio>

#include "journal.h"

extern "C" int init_module(tvn_module *module, const char * /*server_root*/) {
    static char name[] = "mod_log";
    // Relative to the working directory, which is the server root.
    virtual_domain *list = read_config_file(module->mpool, "conf/tolvane.conf");
    if (list == nullptr) {
        std::printf("Can't read config file for %s module\n", name);
        return INTERNAL_SERVER_ERR;
    }
    init_vect();
    module->module_name = name;
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->init_module_data = list;
    module->auth_check = nullptr;
    module->auth_check2 = nullptr;
    module->message_lookup = nullptr;
    module->access_check = nullptr;
    module->path_translation = nullptr;
    module->logging = logging;
    module->connection_closing = connection_closing;
    module->change_pwd = nullptr;
    module->server_exit = nullptr;
    return 1;
}
