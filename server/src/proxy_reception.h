// Behind a load balancer: the worker's reading of the PROXY header of an accepted connection,
// before the master hears of it, so that the client it names is the one every count and every
// journal line uses.
#pragma once

#include <cstddef>
#include <cstdint>

struct tvn_conn_info;

// What the header made of the connection.
struct proxy_verdict {
    // Non-NULL: the connection is to be closed without an answer, with this journal message
    // (leading blank).
    const char *refusal = nullptr;
    // True for the balancer's own connection (LOCAL): it has no client address, so no
    // per-address limit counts it.
    bool balancer_own = false;
};

// Checks the peer against ProxyProtocol and reads its header from info's socket, exactly its
// bytes and never one of the client's, by the connection's first deadlines (the time a packet
// may take and the login grace time, from info->accepted_at). When the header names the
// client, info->client_addr becomes its address and info->proxied is set.
proxy_verdict take_proxy_header(tvn_conn_info *info);

enum class header_wait : uint8_t { received, malformed, timed_out, closed, failed, stopping };

// Reads the header from socket until deadline (monotonic milliseconds), in waits of at most
// two seconds, so that a stopping server is noticed. buffer must hold
// PROXY_V2_MAX_LENGTH bytes; with received, *length is the header's length in it, with
// malformed *fault says why.
header_wait read_proxy_header(int socket, int64_t deadline, uint8_t *buffer, std::size_t *length,
                              const char **fault);
