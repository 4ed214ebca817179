// The server's processes name themselves in the process list (ps, /proc/PID/cmdline) by
// writing over the launcher's arguments: "tvn: master ROOT", "tvn: waiting", and for a
// connection in service "tvn: ADDRESS since DATE TIME METHOD owner|guest USER@DOMAIN" ("-"
// and no login before the session is open).
#pragma once

#include <ctime>

struct tvn_connection;

// In the master, before the first fork: finds the memory of the arguments (and the
// environment behind them, which is moved aside) that the titles are written over.
void init_process_title();
// Sets the title (cut to the room there is). Writes memory only: no system call.
void set_process_title(const char *title);
// The title of a connection in service: its client, its login once the session is open, since
// when, and the method of the request being served (or "login" before the first one).
void show_connection(const tvn_connection *connection, const char *doing);
