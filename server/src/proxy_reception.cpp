// Reading a PROXY header from an accepted socket: peeking at what has come, then taking
// exactly the header's bytes, so that the client's first packet (or its TLS handshake) stays
// in the socket for the connection loop.
#include "proxy_reception.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "clock.h"
#include "config.h"
#include "process.h"
#include "proxy_header.h"
#include "workers.h"

namespace {

constexpr int TICK_MS = 2000;
constexpr int32_t DEFAULT_PACKET_SECONDS = 120;

// The header's bytes: a worker reads one header in its life.
uint8_t header_buffer[PROXY_V2_MAX_LENGTH];
// The journal message of a malformed header, with the parser's reason.
char malformed_message[96];

enum class readable { yes, no, stopping, failed };

readable wait_readable_until(int socket, int64_t deadline) {
    for (;;) {
        if (!os_get_server_status()) return readable::stopping;
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) return readable::no;
        pollfd watched{socket, POLLIN, 0};
        const int ready = poll(&watched, 1, int(left < TICK_MS ? left : TICK_MS));
        if (ready > 0) return readable::yes;
        if (ready < 0 && errno != EINTR) return readable::failed;
    }
}

// Takes count bytes that a peek has shown to be there.
bool take(int socket, uint8_t *into, std::size_t count) {
    while (count > 0) {
        const ssize_t got = recv(socket, into, count, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into += got;
        count -= std::size_t(got);
    }
    return true;
}

// The first deadlines of a connection: a packet's time limit and the login grace time, both
// counted from the accept.
int64_t header_deadline(const tvn_conn_info *info) {
    const tvn_server_conf *conf = info->server_conf;
    const int32_t seconds =
        conf->keepalive_timeout > 0 ? conf->keepalive_timeout : DEFAULT_PACKET_SECONDS;
    int64_t deadline = info->accepted_at + int64_t(seconds) * 1000;
    if (conf->login_grace_time > 0) {
        const int64_t grace = info->accepted_at + int64_t(conf->login_grace_time) * 1000;
        if (grace < deadline) deadline = grace;
    }
    return deadline;
}

const char *refusal_for(header_wait outcome, const char *fault) {
    switch (outcome) {
    case header_wait::received: return nullptr;
    case header_wait::malformed:
        std::snprintf(malformed_message, sizeof malformed_message, " Bad PROXY header: %s",
                      fault != nullptr ? fault : "?");
        return malformed_message;
    case header_wait::timed_out: return " No PROXY header in time";
    case header_wait::closed: return " Closed before its PROXY header";
    case header_wait::failed: return " PROXY header not readable";
    case header_wait::stopping: return ""; // as any connection the stop ends
    }
    return " PROXY header not readable";
}

} // namespace

header_wait read_proxy_header(int socket, int64_t deadline, uint8_t *buffer, std::size_t *length,
                              const char **fault) {
    std::size_t have = 0;
    proxy_header header = parse_proxy_header(buffer, 0);
    for (;;) {
        const readable ready = wait_readable_until(socket, deadline);
        if (ready == readable::failed) return header_wait::failed;
        if (ready == readable::no) return header_wait::timed_out;
        if (ready == readable::stopping) return header_wait::stopping;
        // A look at what has come, up to the most the header can hold: a peek takes nothing,
        // so bytes past the header stay for the connection loop.
        std::size_t room = header.look_ahead - have;
        if (room > PROXY_V2_MAX_LENGTH - have) room = PROXY_V2_MAX_LENGTH - have;
        const ssize_t seen = recv(socket, buffer + have, room, MSG_PEEK | MSG_DONTWAIT);
        if (seen < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (seen < 0) return header_wait::failed;
        if (seen == 0) return header_wait::closed;
        header = parse_proxy_header(buffer, have + std::size_t(seen));
        switch (header.result) {
        case proxy_parse::malformed: *fault = header.fault; return header_wait::malformed;
        case proxy_parse::complete:
            if (!take(socket, buffer + have, header.length - have)) return header_wait::failed;
            *length = header.length;
            return header_wait::received;
        case proxy_parse::incomplete:
            // Every byte seen belongs to the header: take them and wait for the rest.
            if (!take(socket, buffer + have, std::size_t(seen))) return header_wait::failed;
            have += std::size_t(seen);
            break;
        }
    }
}

proxy_verdict take_proxy_header(tvn_conn_info *info) {
    const tvn_server_conf *conf = info->server_conf;
    proxy_verdict verdict;
    if (!from_balancer(conf->balancers, conf->balancer_count,
                       reinterpret_cast<const sockaddr *>(&info->client_addr))) {
        verdict.refusal = " Connection from an address not in ProxyProtocol";
        return verdict;
    }
    std::size_t length = 0;
    const char *fault = nullptr;
    const header_wait outcome =
        read_proxy_header(info->socket, header_deadline(info), header_buffer, &length, &fault);
    verdict.refusal = refusal_for(outcome, fault);
    if (verdict.refusal != nullptr) return verdict;
    const proxy_header header = parse_proxy_header(header_buffer, length);
    if (header.client == proxy_client::named) {
        info->client_addr = header.source;
        info->proxied = true;
    }
    verdict.balancer_own = header.client == proxy_client::balancer_own;
    return verdict;
}
