// Reading a request from the socket and validating it: the fixed header first, then the
// parameter block and data that the header announces.
#pragma once

#include <cstdint>

struct tvn_connection;

// The packet being received: the fixed header, reused for every request, and the rest of the
// packet (parameter block, then data) from the request pool, NULL between the two phases.
struct tvn_packet {
    uint8_t header[16];
    uint8_t *rest;
};

// Reasons receive_bytes gives up; callers do not tell them apart.
enum receive_failure : int {
    RECEIVE_TIMED_OUT = 1, // silence, idle limit, stopping server, connection closing
    RECEIVE_WAIT_FAILED,
    RECEIVE_FAILED,
    RECEIVE_PEER_CLOSED,
    RECEIVE_TOO_SLOW, // the packet was not whole within its time
    RECEIVE_NO_LOGIN, // no session within the login grace time
};

// 0 when a complete, valid request is ready; -1 when the connection must end (disconnect set,
// the reason in the log message where there is one). Never answers.
int receive_request(tvn_connection *connection, tvn_packet *packet);
// Header phase when packet->rest is NULL, parameter phase otherwise (which clears rest).
// 0 for a valid packet, else a status code.
uint8_t check_request(tvn_connection *connection, tvn_packet *packet);
// Reads exactly count bytes, in 2-second waits that enforce the keep-alive and idle time-outs
// (silences), the packet's deadline (set by its first byte) and the login grace time, and
// notice a stopping server. 0 on success, else a receive_failure.
int receive_bytes(tvn_connection *connection, uint8_t *buffer, uint32_t count);
