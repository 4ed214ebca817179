// Building answers: zero-filled buffers in the request pool with the fixed header written.
// Sending them and logging the request is the connection loop's (connection.cpp).
#pragma once

#include <cstdint>

#include "export.h"
#include "outcome.h"
#include "tolvane/byte_order.h"

struct tvn_connection;

extern "C" {
// A zero-filled answer of header_length + body_length bytes from the request pool with the
// fixed header written; NULL (and the connection marked for closing) when the pool refuses.
TVN_EXPORT uint8_t *prepare_answer(tvn_connection *connection, uint32_t header_length,
                                   uint32_t body_length, uint8_t method, uint8_t status);
// Sends the whole answer, then writes the request's journal line through mod_logging: the
// entry point for code outside the connection loop. The caller sets the request's response
// first. Returns 0.
TVN_EXPORT int send_answer(tvn_connection *connection, const uint8_t *answer, uint32_t length);
}

// The same as prepare_answer, but only the header is zeroed: for answers whose body the
// caller fills whole (READ data), so that a 500000-byte answer is not written twice.
uint8_t *prepare_data_answer(tvn_connection *connection, uint32_t header_length,
                             uint32_t body_length, uint8_t method, uint8_t status);

// A successful answer of header_length bytes with no body for the request's method, as an
// outcome; its parameter block is filled by fill (the flags word stays 0). unanswerable when
// the pool refuses.
template <typename Fill>
outcome plain_answer(tvn_connection *connection, uint32_t header_length, uint8_t method,
                     uint8_t status, Fill fill) {
    uint8_t *answer = prepare_answer(connection, header_length, 0, method, status);
    if (answer == nullptr) return outcome::unanswerable();
    fill(answer + TVN_FIXED_HEADER);
    return outcome::answer(answer, header_length, status);
}

// Appends text to the request's log message (request pool); leaves it empty when memory is short.
void append_log_message(tvn_connection *connection, const char *text);
