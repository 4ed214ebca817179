// Test modules write what happens to them, one line per event, into ROOT/log/module_events.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tolvane/module.h"

struct module_events {
    char path[1024];
    char name[256];
};

// Allocates the record from the module's start-up pool; NULL when the pool refuses.
inline module_events *make_module_events(tvn_module *module, const char *server_root) {
    auto *events = static_cast<module_events *>(
        module->mpool->tvn_malloc(module->mpool->init_pool, sizeof(module_events)));
    if (events == nullptr) return nullptr;
    std::snprintf(events->path, sizeof events->path, "%slog/module_events", server_root);
    std::snprintf(events->name, sizeof events->name, "%s", module->module_filename);
    return events;
}

inline void record_event(const module_events *events, const char *what) {
    char line[1400];
    int length = std::snprintf(line, sizeof line, "%s %s\n", what, events->name);
    int fd = open(events->path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    if (write(fd, line, size_t(length)) < 0) {
        // nothing to do: the test sees the missing line
    }
    close(fd);
}

inline int record_server_exit(tvn_module *module) {
    record_event(static_cast<module_events *>(module->init_module_data), "server_exit");
    return 1;
}
