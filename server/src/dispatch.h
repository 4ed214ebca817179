// The method table: which handler serves a request, before and after a session is open.
#pragma once

#include "outcome.h"

struct tvn_connection;
struct parsed_request;

// Serves the request in the connection's parsed record by the table. A refusal made before a
// session is open also marks the connection for closing: without a session, a refused request
// ends the connection.
outcome dispatch(tvn_connection *connection);
