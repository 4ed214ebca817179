// The server's private per-connection state, the argument of every handler and dispatcher.
#pragma once

#include "local_path.h"
#include "tolvane/module.h"

struct tvn_server_conf;
struct fhandler_pool;

// One per connection, zero-filled from the connection pool. The per-request fields are valid
// only for the request being served; reception writes those of its method.
struct tvn_connection {
    tvn_request *request;
    fhandler_pool *handles;
    int32_t idle_ticks; // idle 2-second ticks and KEEPALIVEs since the last real request
    tvn_module *modules; // head of the chain the dispatchers walk
    uint8_t magic[4];
    uint8_t method;
    uint32_t header_length;
    uint32_t body_length; // WRITE only
    const uint8_t *write_data; // WRITE: first data byte in the receive buffer
    uint32_t options;
    uint32_t handle;
    char *path1; // GETDIR, OPEN, DELETE, MKDIR: the path; RENAME: the old path
    char *path2; // RENAME: the new path
    int32_t position;
    int32_t length;
    uint16_t client_major_version;
    uint16_t client_minor_version;
    char *login; // CONNECT, CHANGEPWD: the full login as sent
    char *user;
    char *domain;
    char *password; // CONNECT: the password; CHANGEPWD: the current one
    char *new_password;
    uint8_t copy_reserved[16];
    char *source_path; // COPYFILE
    tvn_server_conf *server_conf;
    // Deadlines on the monotonic clock (milliseconds; 0: none): the session must be open by
    // login_deadline, and a packet whose first byte has come must be whole by packet_deadline.
    int64_t login_deadline;
    int64_t packet_deadline;
    area_anchors anchors; // the area directories that local paths are resolved from
};

struct tvn_conn_info;

// The connection's state with its pools, request record and handle pool; NULL when memory is
// short (nothing is left allocated then).
tvn_connection *create_connection(int socket, tvn_conn_info *info);
// Dispatches the request just received; answers a handler's error status itself.
uint8_t process_request(tvn_connection *connection);
