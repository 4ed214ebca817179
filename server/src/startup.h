// Start-up and shutdown of the server library.
#pragma once

#include "export.h"

#include "config.h"

extern "C" {
// The library's entry point, called by the launcher with the server root (ending in "/").
// Returns 0 after an orderly shutdown; a start-up failure ends the process instead.
TVN_EXPORT int tvn_main(char *server_root);
// Reads the configuration and loads the modules exactly as a start does, printing the same
// messages and warnings, then unloads them: nothing listens. 0 when the configuration would
// start, 1 otherwise. The working directory must be the root (modules read their sections
// from there).
TVN_EXPORT int tvn_check_config(char *server_root);
// Calls os_stop_main and returns 1; nothing in the system calls it.
TVN_EXPORT int tvn_stop_main(void);
// Prints one of the fixed start-up and shutdown messages.
TVN_EXPORT void print_info(int message);
}

// Calls every module's server_exit hook in chain order, then closes the libraries of the
// handle table up to its first empty entry.
void unload_modules(tvn_module *chain, void *handles[MAX_MODULES]);
