// The listening sockets: every configured address, IPv4 or IPv6, on the port of the first entry
// and, with TLS, on TlsPort (at most 16 sockets in all). Each one opened is announced in the
// output file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "process.h"
#include "workers.h"

namespace {

// The entry's address on port, and its text ("127.0.0.1:7070", "[::1]:7070").
socklen_t socket_address(const tvn_listen_addr &entry, uint16_t port, sockaddr_storage *address,
                         std::string *text) {
    char printed[INET6_ADDRSTRLEN] = "?";
    *address = sockaddr_storage{};
    if (entry.family == AF_INET6) {
        auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(address);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        std::memcpy(&ipv6->sin6_addr, entry.address6, sizeof ipv6->sin6_addr);
        inet_ntop(AF_INET6, &ipv6->sin6_addr, printed, sizeof printed);
        *text = std::string("[") + printed + "]:" + std::to_string(port);
        return sizeof(sockaddr_in6);
    }
    auto *ipv4 = reinterpret_cast<sockaddr_in *>(address);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(port);
    ipv4->sin_addr.s_addr = entry.address;
    inet_ntop(AF_INET, &ipv4->sin_addr, printed, sizeof printed);
    *text = std::string(printed) + ":" + std::to_string(port);
    return sizeof(sockaddr_in);
}

bool listen_on(const tvn_listen_addr &entry, uint16_t port, int backlog, bool tls) {
    sockaddr_storage address;
    std::string text;
    const socklen_t length = socket_address(entry, port, &address, &text);
    const int fd = socket(entry.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::printf("\nCan't open a socket for %s: %s\n", text.c_str(), std::strerror(errno));
        return false;
    }
    tvn_process.socket_is_tls[tvn_process.socket_count] = tls;
    tvn_process.sockets[tvn_process.socket_count++] = fd;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // "::" then serves IPv6 alone, and may stand beside an IPv4 entry on the same port.
    if (entry.family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        const int error = errno;
        std::printf("\nKeep Attention: the address is already in use, I can't go on.\n\n");
        std::printf("Can't listen on %s: %s\n", text.c_str(), std::strerror(error));
        return false;
    }
    if (listen(fd, backlog) != 0) {
        std::printf("\nCan't listen on %s: %s\n", text.c_str(), std::strerror(errno));
        return false;
    }
    std::printf("listening on %s%s\n", text.c_str(), tls ? " (TLS)" : "");
    return true;
}

} // namespace

bool open_listeners(tvn_server_conf *conf) {
    const uint16_t port = conf->listen_addrs->port;
    bool opened = true;
    // Every address gets its plain listener (unless turned off) and, with TLS, one on TlsPort.
    for (tvn_listen_addr *entry = conf->listen_addrs;
         opened && entry != nullptr && tvn_process.socket_count < MAX_LISTENERS;
         entry = entry->next) {
        if (conf->plain_listening) opened = listen_on(*entry, port, conf->listen_backlog, false);
        if (opened && conf->tls_port != 0 && tvn_process.socket_count < MAX_LISTENERS)
            opened = listen_on(*entry, conf->tls_port, conf->listen_backlog, true);
    }
    std::fflush(stdout);
    socket_num = tvn_process.socket_count - 1;
    return opened;
}
