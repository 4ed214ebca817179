// The PROXY protocol header that a load balancer sends before the first byte of the client it
// relays: version 1 (one line of text) or version 2 (binary). A pure reading of bytes: no
// socket, no clock, nothing kept between calls, so that the reader can ask again as bytes
// arrive and the fuzz target can drive it alone.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// Longest version 1 line, its CRLF included; longest version 2 header (16 fixed bytes and an
// address block of up to 65535).
inline constexpr std::size_t PROXY_V1_MAX_LENGTH = 107;
inline constexpr std::size_t PROXY_V2_FIXED_LENGTH = 16;
inline constexpr std::size_t PROXY_V2_MAX_LENGTH = PROXY_V2_FIXED_LENGTH + 65535;

enum class proxy_parse : uint8_t {
    incomplete, // every byte given belongs to a header that is not whole yet
    complete,   // a whole, valid header of `length` bytes opens the bytes given
    malformed,  // no valid header can open these bytes: `fault` says why
};

// Whose connection it is, by the header.
enum class proxy_client : uint8_t {
    named,         // the header names the relayed client: `source` holds its address
    balancer_own,  // LOCAL (version 2): the balancer's own connection, such as a health check
    not_named,     // UNKNOWN (version 1), or a family or protocol (version 2) that is not TCP
                   // over IPv4 or IPv6: the connection's own endpoints stand
};

struct proxy_header {
    proxy_parse result = proxy_parse::incomplete;
    // complete: the header's length, never more than was given. incomplete: the fewest bytes
    // the header needs in all (more than were given) in `length`, and in `look_ahead` how many
    // in all a reader may look at before asking again: enough for the next answer to say more.
    // The client's own bytes may be among them, so a reader looks (peeks) and does not take.
    std::size_t length = 0;
    std::size_t look_ahead = 0;
    uint8_t version = 0; // 1 or 2 once the signature shows it
    proxy_client client = proxy_client::not_named;
    // With proxy_client::named: the client's address and port, AF_INET or AF_INET6 (an
    // IPv4-mapped IPv6 address is given as the IPv4 address it stands for).
    sockaddr_storage source{};
    const char *fault = nullptr; // malformed: a short text for the journal, a constant
};

// Reads the header that opens bytes[0, count). Never reads past count; a header's verdict
// never changes when more bytes follow it, and bytes that are incomplete stay so or become
// complete or malformed as more come.
proxy_header parse_proxy_header(const uint8_t *bytes, std::size_t count);
