// Building and sending answers.
#pragma once

#include <cstdint>

struct tvn_connection;

extern "C" {
// A zero-filled answer of header_length + body_length bytes from the request pool with the
// fixed header written; NULL (and the connection marked for closing) when the pool refuses.
uint8_t *prepare_answer(tvn_connection *connection, uint32_t header_length, uint32_t body_length,
                        uint8_t method, uint8_t status);
// The same, but only the header is zeroed: for answers whose body the caller fills whole
// (READ data), so that a 500000-byte answer is not written twice.
uint8_t *prepare_data_answer(tvn_connection *connection, uint32_t header_length,
                             uint32_t body_length, uint8_t method, uint8_t status);
// Sends the whole answer, then writes the request's journal line through mod_logging. A failed
// send marks the connection for closing and notes it in the log message. The caller sets the
// request's response first. Returns 0.
int send_answer(tvn_connection *connection, const uint8_t *answer, uint32_t length);
}

// Appends text to the request's log message (request pool); leaves it empty when memory is short.
void append_log_message(tvn_connection *connection, const char *text);
// Marks the connection for closing after an answer that could not be built, and logs the
// request as INTERNAL_SERVER_ERR. Returns 0, the handlers' "nothing to answer".
uint8_t fail_without_answer(tvn_connection *connection);

// Little-endian stores into an answer.
inline void put_u16(uint8_t *at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}
inline void put_u32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}
inline uint16_t get_u16(const uint8_t *at) { return uint16_t(at[0] | at[1] << 8); }
inline uint32_t get_u32(const uint8_t *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
