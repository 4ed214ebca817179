// ProxyProtocol's entries: reading them and matching a peer against them.
#include "balancer_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// The peer's family and address bytes, an IPv4-mapped IPv6 address as IPv4.
bool peer_bytes(const sockaddr *peer, uint16_t *family, const uint8_t **bytes) {
    if (peer->sa_family == AF_INET) {
        *family = AF_INET;
        *bytes = reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in *>(peer)->sin_addr);
        return true;
    }
    if (peer->sa_family != AF_INET6) return false;
    const in6_addr &address = reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        *family = AF_INET;
        *bytes = address.s6_addr + 12;
    } else {
        *family = AF_INET6;
        *bytes = address.s6_addr;
    }
    return true;
}

bool prefix_matches(const uint8_t *a, const uint8_t *b, unsigned bits) {
    const unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    const unsigned rest = bits % 8;
    if (rest == 0) return true;
    const auto mask = uint8_t(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

} // namespace

bool parse_balancer(std::string_view text, tvn_balancer_net *net) {
    *net = tvn_balancer_net{};
    std::string_view address = text;
    std::string_view prefix;
    if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
        address = text.substr(0, slash);
        prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 3) return false;
    }
    char copy[INET6_ADDRSTRLEN];
    if (address.empty() || address.size() >= sizeof copy) return false;
    std::memcpy(copy, address.data(), address.size());
    copy[address.size()] = '\0';
    unsigned width = 0;
    if (inet_pton(AF_INET, copy, net->address) == 1) {
        net->family = AF_INET;
        width = 32;
    } else if (inet_pton(AF_INET6, copy, net->address) == 1) {
        net->family = AF_INET6;
        width = 128;
    } else {
        return false;
    }
    unsigned bits = width;
    if (!prefix.empty()) {
        bits = 0;
        for (char c : prefix) {
            if (c < '0' || c > '9') return false;
            bits = bits * 10 + unsigned(c - '0');
        }
        if (bits > width) return false;
    }
    // A mapped address stands for an IPv4 one, as a mapped peer does.
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (net->family == AF_INET6 && bits >= 96 && std::memcmp(net->address, mapped, 12) == 0) {
        std::memmove(net->address, net->address + 12, 4);
        std::memset(net->address + 4, 0, 12);
        net->family = AF_INET;
        bits -= 96;
    }
    net->prefix_bits = uint8_t(bits);
    return true;
}

bool from_balancer(const tvn_balancer_net *nets, int count, const sockaddr *peer) {
    uint16_t family = 0;
    const uint8_t *bytes = nullptr;
    if (peer == nullptr || !peer_bytes(peer, &family, &bytes)) return false;
    for (int i = 0; i < count; ++i)
        if (nets[i].family == family && prefix_matches(nets[i].address, bytes, nets[i].prefix_bits))
            return true;
    return false;
}
