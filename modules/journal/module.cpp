// The module's entry point: its configuration, its name, its versions and its two hooks.
#include <cstdio>

#include "journal.h"
#include "module_record.h"

extern "C" int init_module(tvn_module *module, const char * /*server_root*/) {
    static char name[] = "mod_log";
    // Relative to the working directory, which is the server root.
    virtual_domain *list = read_config_file(module->mpool, "conf/tolvane.conf");
    if (list == nullptr) {
        std::printf("Can't read config file for %s module\n", name);
        return INTERNAL_SERVER_ERR;
    }
    init_vect();
    module->init_module_data = list;
    fill_module(module, name, {.logging = logging, .connection_closing = connection_closing});
    return 1;
}
