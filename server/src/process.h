// The process model: listening, the worker processes and the stop signals.
#pragma once

#include "config.h"

extern "C" {
// Runs the server until a stop signal; returns 0 after it has stopped or failed to start.
int os_main(tvn_server_conf *conf, tvn_init_mpool *mpool);
// Non-zero while the server runs.
int os_get_server_status(void);
// The master's handler of SIGINT and SIGQUIT.
void os_quit_server(int signal_number);
// Does nothing on this platform.
int os_stop_main(void);
}
