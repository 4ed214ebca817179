// The balancers that ProxyProtocol names: addresses or networks whose connections open with a
// PROXY header. Parsing a configured entry and matching a connection's peer; no I/O.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

inline constexpr int MAX_BALANCERS = 32;

// One entry: an address, or a network of prefix_bits leading bits.
struct tvn_balancer_net {
    uint16_t family; // AF_INET or AF_INET6
    uint8_t prefix_bits;
    uint8_t address[16]; // IPv4 in the first four bytes; network byte order
};

// Reads "10.0.0.5", "10.0.0.0/24", "fd00::5" or "fd00::/8". False when text is none of these
// (a prefix past the family's width, a blank, anything after the digits).
bool parse_balancer(std::string_view text, tvn_balancer_net *net);

// True when peer (as accept gave it: IPv4, or IPv6 with IPv4-mapped addresses counting as
// IPv4) lies in one of the count entries.
bool from_balancer(const tvn_balancer_net *nets, int count, const sockaddr *peer);
