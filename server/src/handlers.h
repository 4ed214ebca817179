// The request handlers. Each returns 0 when it has sent its answer itself or when nothing is to
// be answered (the connection is closing); any other value is a status for the connection loop
// to answer with.
#pragma once

#include <cstdint>

struct tvn_connection;

uint8_t process_connect(tvn_connection *connection);
// A refused login (or password change): reported to the master when it counts them, and
// answered only after FailedLoginDelay seconds. Returns WRONG_AUTH.
uint8_t refuse_login(tvn_connection *connection);
uint8_t process_changepwd(tvn_connection *connection);
uint8_t process_getdir(tvn_connection *connection);
uint8_t process_open(tvn_connection *connection);
uint8_t process_read(tvn_connection *connection);
uint8_t process_write(tvn_connection *connection);
uint8_t process_close(tvn_connection *connection);
uint8_t process_delete(tvn_connection *connection);
uint8_t process_mkdir(tvn_connection *connection);
uint8_t process_rename(tvn_connection *connection);
uint8_t process_copyfile(tvn_connection *connection);

// Translates the request's paths and asks the access chain: OK, or the first other answer
// (0 when a module failed and the connection is closing).
uint8_t translate_and_check(tvn_connection *connection);
// The status of a host error in the namespace operations.
extern "C" uint8_t errno_to_status(int error);
