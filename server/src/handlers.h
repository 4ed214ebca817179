// The request handlers. Each returns 0 when it has sent its answer itself or when nothing is to
// be answered (the connection is closing); any other value is a status for the connection loop
// to answer with.
#pragma once

#include <cstdint>

struct tvn_connection;

uint8_t process_connect(tvn_connection *connection);
uint8_t process_changepwd(tvn_connection *connection);
