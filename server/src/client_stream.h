// The byte stream to the client. Every byte the server reads from a connection or writes to it
// passes here, so that nothing else in the server knows what carries the stream.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct tvn_connection;
struct tvn_server_conf;

// Prepares the accepted socket: a send that makes no progress for ConnectionKeepaliveTimeout
// seconds (120 when that sets no limit) gives up, so a client that reads nothing cannot hold
// the worker.
void prepare_client_socket(int socket, const tvn_server_conf *conf);

enum class readiness : uint8_t { readable, nothing_yet, failed };
// Waits up to wait_ms for something to read (interrupted waits count as nothing yet).
readiness wait_readable(tvn_connection *connection, int wait_ms);

// Reads what has arrived, at most count bytes: their number, 0 when the client closed, -1 on
// failure (an interrupted read is tried again).
ssize_t receive_some(tvn_connection *connection, uint8_t *buffer, uint32_t count);

// Sends every byte, going on after partial and interrupted sends. On failure the request's log
// message says why (" Error sending the answer.", and " The client read nothing in time." when
// the send time-out ran out) and the connection is marked for closing. False on failure.
bool send_and_note(tvn_connection *connection, const uint8_t *data, uint32_t length);
