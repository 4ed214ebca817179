// Start-up and shutdown of the server library.
#pragma once

#include "export.h"

#include "config.h"

extern "C" {
// The library's entry point, called by the launcher with the server root (ending in "/").
// Returns 0 after an orderly shutdown; a start-up failure ends the process instead.
TVN_EXPORT int tvn_main(char *server_root);
// Calls os_stop_main and returns 1; nothing in the system calls it.
TVN_EXPORT int tvn_stop_main(void);
// Prints one of the fixed start-up and shutdown messages.
TVN_EXPORT void print_info(int message);
}

// Calls every module's server_exit hook in chain order, then closes the libraries of the
// handle table up to its first empty entry.
void unload_modules(tvn_module *chain, void *handles[MAX_MODULES]);
