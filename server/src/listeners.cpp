// The listening sockets: every configured address (at most 16) on the port of the first.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>

#include "process.h"
#include "workers.h"

namespace {
constexpr int LISTEN_BACKLOG = 10;
}

bool open_listeners(tvn_server_conf *conf) {
    const uint16_t port = conf->listen_addrs->port;
    for (tvn_listen_addr *entry = conf->listen_addrs;
         entry != nullptr && tvn_process.socket_count < MAX_LISTENERS; entry = entry->next) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return false;
        tvn_process.sockets[tvn_process.socket_count++] = fd;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = entry->address;
        address.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::printf("\nKeep Attention: the address is already in use, I can't go on.\n\n");
            std::fflush(stdout);
            return false;
        }
        if (listen(fd, LISTEN_BACKLOG) != 0) return false;
    }
    socket_num = tvn_process.socket_count - 1;
    return true;
}
