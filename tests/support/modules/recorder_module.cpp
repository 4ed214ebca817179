// A module that loads successfully and records its initialisation and its server_exit call.
#include "module_events.h"

extern "C" int init_module(tvn_module *module, const char *server_root) {
    module_events *events = make_module_events(module, server_root);
    if (events == nullptr) return 8;
    module->module_name = events->name;
    module->module_major_version = 1;
    module->module_minor_version = 1;
    module->init_module_data = events;
    module->server_exit = record_server_exit;
    record_event(events, "init_module");
    return 1;
}
