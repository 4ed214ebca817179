// The process model: listening, the worker processes and the stop signals.
#pragma once

#include "export.h"

#include "config.h"

extern "C" {
// Runs the server until a stop signal; returns 0 after it has stopped or failed to start.
TVN_EXPORT int os_main(tvn_server_conf *conf, tvn_init_mpool *mpool);
// Non-zero while the server runs.
TVN_EXPORT int os_get_server_status(void);
// The master's handler of SIGINT and SIGQUIT.
TVN_EXPORT void os_quit_server(int signal_number);
// Does nothing on this platform.
TVN_EXPORT int os_stop_main(void);
}

// Opens a listening socket for every address entry (at most 16), all on the first entry's
// port. False after the message of a failed bind, or when a socket cannot be had.
bool open_listeners(tvn_server_conf *conf);
// In restricted mode: supplementary groups, group and user become the configured ones, each
// checked, and the file-creation mask 022. False after a message.
bool drop_privileges(tvn_server_conf *conf);
// Core files of the server's processes stay below 100000 bytes.
void limit_core_files();
