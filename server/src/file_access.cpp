// What every file handler does before touching a path: translate it, then ask for access.
#include "connection.h"
#include "handlers.h"
#include "hooks.h"

uint8_t translate_and_check(tvn_connection *connection) {
    const uint8_t translated = mod_path_translation(connection);
    if (translated != OK) return translated;
    return mod_access_check(connection);
}
