// The dispatchers that walk the module chain and combine the hooks' answers.
#pragma once

#include "export.h"

#include <cstdint>

struct tvn_connection;

// Each returns a status byte; 0 means the connection is closing (a hook answered 8, and the
// request's disconnect flag is set) and nothing is to be answered.
extern "C" {
TVN_EXPORT uint8_t mod_auth_check(tvn_connection *connection);
TVN_EXPORT uint8_t mod_auth_check2(tvn_connection *connection);
TVN_EXPORT uint8_t mod_message_lookup(tvn_connection *connection);
TVN_EXPORT uint8_t mod_access_check(tvn_connection *connection);
TVN_EXPORT uint8_t mod_path_translation(tvn_connection *connection);
TVN_EXPORT uint8_t mod_logging(tvn_connection *connection);
TVN_EXPORT uint8_t mod_change_pwd(tvn_connection *connection);
TVN_EXPORT void mod_connection_closing(tvn_connection *connection);
}
