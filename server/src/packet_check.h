// The checks of a request's bytes: the fixed header first, then the parameter block (and
// data) that the header announces. Nothing here reads a socket: these are the only readers of
// the bytes a client sent, and every length is checked against what was received.
#pragma once

#include <cstdint>

#include "parsed_request.h"

struct tvn_request;

// Why a packet is refused; a refused packet is never answered and ends the connection.
enum class packet_fault : uint8_t {
    none,
    bad_header,     // " Bad Header packet"
    write_too_long, // "Body too long for write method" (a WRITE announcing over 500000 bytes)
    bad_body,       // " Bad Body packet"
};

// The journal text of a fault, as the final line of the connection shows it.
const char *packet_fault_message(packet_fault fault);

// Checks the 16 fixed bytes: magic, method (1 to 16), the body only on WRITE and at most 500000
// bytes, header_length 16 to 10000, version 1.0. Stores method and lengths in parsed.
packet_fault check_header(const uint8_t *header, parsed_request *parsed);

// Checks the parameter block of parsed's method. rest holds header_length - 16 bytes of block,
// then body_length bytes of data, then one spare byte; the texts of the block are terminated in
// place (the spare byte ends a text that runs to the block's end). The paths become the
// request's remote_path1 and remote_path2; the other facts go into parsed.
packet_fault check_parameters(parsed_request *parsed, tvn_request *request, uint8_t *rest);
