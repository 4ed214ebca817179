// The module's entry point: its name, its versions and its two hooks.
#include "pathmap.h"

extern "C" int init_module(tvn_module *module, const char * /*server_root*/) {
    static char name[] = "default_module";
    module->module_name = name;
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->auth_check = nullptr;
    module->auth_check2 = nullptr;
    module->message_lookup = nullptr;
    module->access_check = access_check;
    module->path_translation = path_translation;
    module->logging = nullptr;
    module->connection_closing = nullptr;
    module->change_pwd = nullptr;
    module->server_exit = nullptr;
    return OK;
}
