// A module whose init_module fails (returns 0) after setting its server_exit hook.
#include "module_events.h"

extern "C" int init_module(tvn_module *module, const char *server_root) {
    module_events *events = make_module_events(module, server_root);
    if (events == nullptr) return 8;
    module->init_module_data = events;
    module->server_exit = record_server_exit;
    record_event(events, "init_module_failed");
    return 0;
}
