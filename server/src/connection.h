// The server's own state of one connection, the argument of every handler and dispatcher.
#pragma once

#include <ctime>

#include "local_path.h"
#include "parsed_request.h"
#include "reception.h"
#include "tolvane/module.h"

struct tvn_server_conf;
struct fhandler_pool;
struct tvn_conn_info;
typedef struct ssl_st SSL;

// One per connection, from its connection pool. What a request says lives in the module
// interface's tvn_request (its paths, the login) and in parsed; this record keeps what is the
// server's own.
struct tvn_connection {
    tvn_request *request;
    fhandler_pool *handles;
    tvn_module *modules; // head of the chain the dispatchers walk
    tvn_server_conf *server_conf;
    // True once the authentication chain said yes to a CONNECT: the method table serves the
    // session's requests from then on.
    bool session_open;
    int32_t idle_ticks; // idle 2-second ticks and KEEPALIVEs since the last real request
    // Deadlines on the monotonic clock (milliseconds; 0: none): the session must be open by
    // login_deadline, and a packet whose first byte has come must be whole by packet_deadline.
    int64_t login_deadline;
    int64_t packet_deadline;
    area_anchors anchors;  // the area directories that local paths are resolved from
    tvn_packet packet;     // the request being received
    SSL *tls;             // the session of an encrypted connection; NULL: plain
    time_t connected_at;  // for the process title
    char client_text[48]; // the client's address as text, for the process title
    // An IPv6 client that a PROXY header named: the journal's connection lines name it in
    // their message, since the module interface carries IPv4 only.
    bool client_in_message;
    parsed_request parsed; // what reception made of it
};

// The connection's state with its pools, request record and handle pool; NULL when memory is
// short (nothing is left allocated then).
tvn_connection *create_connection(int socket, tvn_conn_info *info);
