// Reading a request from the client: the fixed header first, then the parameter block and data
// that the header announces, each checked by packet_check, under the connection's deadlines.
#pragma once

#include <cstdint>

#include "packet_check.h"

struct tvn_connection;

// The packet being received: the fixed header, reused for every request, and the rest of the
// packet (parameter block, data and a spare byte) from the request pool, NULL between the two
// phases.
struct tvn_packet {
    uint8_t header[16];
    uint8_t *rest;
};

enum class reception : uint8_t {
    ready,  // a checked request stands in the connection's parsed record and the request
    closed, // the connection must end: disconnect set, the reason in the log message if any
};

// Reads the next request. Before a session is open only CONNECT, CHANGEPWD and KEEPALIVE are
// read whole; any other request is handed on after its header (to be refused) without reading
// what it announces, and DISCONNECT and the unassigned codes end the connection there. Never
// answers.
reception receive_request(tvn_connection *connection);

// The header phase when packet->rest is NULL, the parameter phase otherwise (which clears
// rest), on the connection's parsed record and request.
packet_fault check_request(tvn_connection *connection, tvn_packet *packet);

// Why receive_bytes gave up.
enum class receive_failure : uint8_t {
    none,
    timed_out, // silence, idle limit, a stopping server, a connection marked for closing
    wait_failed,
    read_failed,
    peer_closed,
    too_slow, // the packet was not whole within its time
    no_login, // no session within the login grace time
};

// Reads exactly count bytes, in 2-second waits that enforce the keep-alive and idle time-outs
// (silences), the packet's deadline (set by its first byte) and the login grace time, and
// notice a stopping server.
receive_failure receive_bytes(tvn_connection *connection, uint8_t *buffer, uint32_t count);
