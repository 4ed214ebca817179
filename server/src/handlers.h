// The request handlers. Each serves one method on an opened request and returns its outcome;
// none sends or logs anything itself.
#pragma once

#include <cstdint>

#include "outcome.h"

struct tvn_connection;
struct parsed_request;
struct login_text;

outcome process_connect(tvn_connection *connection, const parsed_request &request);
outcome process_changepwd(tvn_connection *connection, const parsed_request &request);
outcome process_getdir(tvn_connection *connection, const parsed_request &request);
outcome process_open(tvn_connection *connection, const parsed_request &request);
outcome process_read(tvn_connection *connection, const parsed_request &request);
outcome process_write(tvn_connection *connection, const parsed_request &request);
outcome process_close(tvn_connection *connection, const parsed_request &request);
outcome process_delete(tvn_connection *connection, const parsed_request &request);
outcome process_mkdir(tvn_connection *connection, const parsed_request &request);
outcome process_rename(tvn_connection *connection, const parsed_request &request);
outcome process_settime(tvn_connection *connection, const parsed_request &request);
outcome process_copyfile(tvn_connection *connection, const parsed_request &request);

// Puts the login of a CONNECT or CHANGEPWD into the request (copies in the connection pool):
// false when memory is short.
bool put_login_in_request(tvn_connection *connection, const login_text &login);

// A refused login (or password change): reported to the master when it counts them, and
// answered only after FailedLoginDelay seconds. The WRONG_AUTH refusal.
outcome refuse_login(tvn_connection *connection);

// Translates the request's paths and asks the access chain: OK, the first other answer, or 0
// when a module failed and the connection is closing.
uint8_t translate_and_check(tvn_connection *connection);

// The outcome of a chain's answer other than OK: its refusal, or closing for 0.
inline outcome refused_by(uint8_t status) {
    return status == 0 ? outcome::closing() : outcome::refusal(status);
}
