// Reading a PROXY protocol header, version 1 or 2, from the bytes received so far.
#include "proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view V1_PREFIX = "PROXY ";
constexpr uint8_t V2_SIGNATURE[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::size_t V2_SIGNATURE_LENGTH = sizeof V2_SIGNATURE;
// Address blocks of TCP over IPv4 and over IPv6: two addresses, then two ports.
constexpr std::size_t V2_INET_BLOCK = 2 * 4 + 2 * 2;
constexpr std::size_t V2_INET6_BLOCK = 2 * 16 + 2 * 2;

proxy_header malformed(const char *why, uint8_t version) {
    proxy_header header;
    header.result = proxy_parse::malformed;
    header.version = version;
    header.fault = why;
    return header;
}

proxy_header incomplete(std::size_t at_least, std::size_t at_most, uint8_t version) {
    proxy_header header;
    header.result = proxy_parse::incomplete;
    header.length = at_least;
    header.look_ahead = at_most;
    header.version = version;
    return header;
}

proxy_header complete(std::size_t length, uint8_t version, proxy_client client) {
    proxy_header header;
    header.result = proxy_parse::complete;
    header.length = length;
    header.look_ahead = length;
    header.version = version;
    header.client = client;
    return header;
}

// True while the bytes given agree with the start of text.
bool agrees_with(const uint8_t *bytes, std::size_t count, const uint8_t *text, std::size_t length) {
    return std::memcmp(bytes, text, count < length ? count : length) == 0;
}

// The client's address, an IPv4-mapped IPv6 address as the IPv4 address it stands for.
void put_source(proxy_header *header, int family, const uint8_t *address, uint16_t port_host) {
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    header->client = proxy_client::named;
    header->source = sockaddr_storage{};
    if (family == AF_INET6 && std::memcmp(address, mapped, sizeof mapped) == 0) {
        family = AF_INET;
        address += sizeof mapped;
    }
    if (family == AF_INET) {
        auto &ipv4 = reinterpret_cast<sockaddr_in &>(header->source);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(port_host);
        std::memcpy(&ipv4.sin_addr, address, 4);
    } else {
        auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(header->source);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port_host);
        std::memcpy(&ipv6.sin6_addr, address, 16);
    }
}

// ---- Version 1 ------------------------------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of one to max_digits digits without a heading zero, at most limit.
bool take_decimal(std::string_view text, std::size_t max_digits, uint32_t limit, uint32_t *value) {
    if (text.empty() || text.size() > max_digits) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    uint32_t number = 0;
    for (char c : text) {
        if (!is_digit(c)) return false;
        number = number * 10 + uint32_t(c - '0');
    }
    if (number > limit) return false;
    *value = number;
    return true;
}

// Exactly four numbers 0 to 255, without heading zeroes, one dot between each.
bool take_ipv4(std::string_view text, uint8_t address[4]) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.');
        const bool last = part == 3;
        if (last != (dot == std::string_view::npos)) return false;
        uint32_t number = 0;
        if (!take_decimal(text.substr(0, dot), 3, 255, &number)) return false;
        address[part] = uint8_t(number);
        if (!last) text.remove_prefix(dot + 1);
    }
    return true;
}

bool take_ipv6(std::string_view text, uint8_t address[16]) {
    char copy[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof copy) return false;
    for (char c : text) {
        const bool hex = is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return false;
    }
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return inet_pton(AF_INET6, copy, address) == 1;
}

// The next word of the line, which ends at exactly one blank (or, for the last, at the end).
bool next_word(std::string_view *rest, bool last, std::string_view *word) {
    const std::size_t blank = rest->find(' ');
    if (last) {
        if (blank != std::string_view::npos) return false;
        *word = *rest;
        rest->remove_prefix(rest->size());
        return !word->empty();
    }
    if (blank == std::string_view::npos || blank == 0) return false;
    *word = rest->substr(0, blank);
    rest->remove_prefix(blank + 1);
    return true;
}

// "TCP4 SRC DST SPORT DPORT" or the same with TCP6: the line after "PROXY ", without CRLF.
proxy_header parse_v1_addresses(std::string_view rest, std::size_t length) {
    std::string_view protocol;
    if (!next_word(&rest, false, &protocol)) return malformed("unknown protocol", 1);
    const bool v4 = protocol == "TCP4";
    if (!v4 && protocol != "TCP6") return malformed("unknown protocol", 1);
    std::string_view words[4];
    for (int i = 0; i < 4; ++i)
        if (!next_word(&rest, i == 3, &words[i])) return malformed("bad separators", 1);
    uint8_t source[16];
    uint8_t destination[16];
    if (!(v4 ? take_ipv4(words[0], source) : take_ipv6(words[0], source)))
        return malformed("bad source address", 1);
    if (!(v4 ? take_ipv4(words[1], destination) : take_ipv6(words[1], destination)))
        return malformed("bad destination address", 1);
    uint32_t source_port = 0;
    uint32_t destination_port = 0;
    if (!take_decimal(words[2], 5, 65535, &source_port)) return malformed("bad source port", 1);
    if (!take_decimal(words[3], 5, 65535, &destination_port))
        return malformed("bad destination port", 1);
    proxy_header header = complete(length, 1, proxy_client::named);
    put_source(&header, v4 ? AF_INET : AF_INET6, source, uint16_t(source_port));
    return header;
}

proxy_header parse_v1(const uint8_t *bytes, std::size_t count) {
    if (!agrees_with(bytes, count, reinterpret_cast<const uint8_t *>(V1_PREFIX.data()),
                     V1_PREFIX.size()))
        return malformed("no PROXY signature", 0);
    // The line ends at the first CRLF, which must come within the first 107 bytes; a CR or an
    // LF alone never ends it.
    const std::size_t scanned = count < PROXY_V1_MAX_LENGTH ? count : PROXY_V1_MAX_LENGTH;
    std::size_t end = 0;
    for (std::size_t i = 0; i < scanned && end == 0; ++i) {
        if (bytes[i] == '\n') {
            if (i == 0 || bytes[i - 1] != '\r')
                return malformed("a line feed without its carriage return", 1);
            end = i + 1;
        } else if (bytes[i] == '\r' && i + 1 < scanned && bytes[i + 1] != '\n') {
            return malformed("a carriage return without its line feed", 1);
        }
    }
    if (end == 0) {
        if (count >= PROXY_V1_MAX_LENGTH) return malformed("no CRLF within 107 bytes", 1);
        return incomplete(count + 1, PROXY_V1_MAX_LENGTH, count >= V1_PREFIX.size() ? 1 : 0);
    }
    if (end < V1_PREFIX.size() + 2) return malformed("no PROXY signature", 0);
    std::string_view rest(reinterpret_cast<const char *>(bytes) + V1_PREFIX.size(),
                          end - 2 - V1_PREFIX.size());
    // UNKNOWN may carry anything up to the CRLF, which the receiver ignores.
    constexpr std::string_view unknown = "UNKNOWN";
    if (rest.substr(0, unknown.size()) == unknown &&
        (rest.size() == unknown.size() || rest[unknown.size()] == ' '))
        return complete(end, 1, proxy_client::not_named);
    return parse_v1_addresses(rest, end);
}

// ---- Version 2 ------------------------------------------------------------------------------

uint16_t get_be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

proxy_header parse_v2(const uint8_t *bytes, std::size_t count) {
    if (!agrees_with(bytes, count, V2_SIGNATURE, V2_SIGNATURE_LENGTH))
        return malformed("no PROXY signature", 0);
    if (count < PROXY_V2_FIXED_LENGTH)
        return incomplete(PROXY_V2_FIXED_LENGTH, PROXY_V2_FIXED_LENGTH,
                          count >= V2_SIGNATURE_LENGTH ? 2 : 0);
    const uint8_t version = bytes[12] >> 4;
    const uint8_t command = bytes[12] & 0x0F;
    const uint8_t family = bytes[13] >> 4;
    const uint8_t transport = bytes[13] & 0x0F;
    if (version != 2) return malformed("version other than 2", 2);
    if (command > 1) return malformed("unknown command", 2);
    if (family > 3) return malformed("unknown address family", 2);
    if (transport > 2) return malformed("unknown transport protocol", 2);
    const std::size_t block = get_be16(bytes + 14);
    const std::size_t length = PROXY_V2_FIXED_LENGTH + block;
    if (count < length) return incomplete(length, length, 2);
    // LOCAL: the balancer speaks for itself; whatever block it sent is skipped.
    if (command == 0) return complete(length, 2, proxy_client::balancer_own);
    const uint8_t *addresses = bytes + PROXY_V2_FIXED_LENGTH;
    if (bytes[13] == 0x11) {
        if (block < V2_INET_BLOCK) return malformed("address block too short", 2);
        proxy_header header = complete(length, 2, proxy_client::named);
        put_source(&header, AF_INET, addresses, get_be16(addresses + 8));
        return header;
    }
    if (bytes[13] == 0x21) {
        if (block < V2_INET6_BLOCK) return malformed("address block too short", 2);
        proxy_header header = complete(length, 2, proxy_client::named);
        put_source(&header, AF_INET6, addresses, get_be16(addresses + 32));
        return header;
    }
    // Unspecified, UDP or Unix: the connection's own endpoints stand.
    return complete(length, 2, proxy_client::not_named);
}

} // namespace

proxy_header parse_proxy_header(const uint8_t *bytes, std::size_t count) {
    // Before the first byte either version may come: ask for as many as the longer line.
    if (count == 0) return incomplete(1, PROXY_V1_MAX_LENGTH, 0);
    if (bytes[0] == V1_PREFIX[0]) return parse_v1(bytes, count);
    if (bytes[0] == V2_SIGNATURE[0]) return parse_v2(bytes, count);
    return malformed("no PROXY signature", 0);
}
