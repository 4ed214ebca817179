// A soak client's connections: connecting again while the backlog turns it away, logging in,
// and checking that every answer is the one the request should get.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "soak_session.h"

namespace tvnsoak {

namespace {

const char *result_text(tvn_client::read_result result) {
    switch (result) {
    case tvn_client::read_result::answer_read: return "answered";
    case tvn_client::read_result::closed: return "closed without an answer";
    case tvn_client::read_result::timed_out: return "no answer in time";
    case tvn_client::read_result::broken: return "connection broken";
    }
    return "?";
}

// Bytes sent on the socket that the peer's kernel has not acknowledged yet.
int unacknowledged(int fd) {
    int bytes = 0;
    return ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : 0;
}

} // namespace

delivery deliver(tvn_client::connection &link, const tvn_client::bytes &packet, bool may_abandon) {
    if (!link.send_all(packet, answer_timeout)) return delivery::refused;
    // On loopback a connection the server's kernel holds acknowledges at once; a reset
    // empties the queue too, and the answer's reading tells it.
    const auto start = std::chrono::steady_clock::now();
    while (unacknowledged(link.fd()) > 0) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (may_abandon && waited >= backlog_patience) {
            // A reset, not a close: the server's half of the handshake is dropped with it,
            // so the packet can never arrive later.
            const linger abort_now{1, 0};
            setsockopt(link.fd(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
            link.close();
            return delivery::abandoned;
        }
        if (waited >= backlog_limit) return delivery::stuck;
        std::this_thread::sleep_for(10ms);
    }
    return delivery::taken;
}

client_run::client_run(soak_context &context_in, client_state &state_in)
        : context(context_in),
          state(state_in),
          random_(0x50a4c0deull ^ (std::uint64_t(state_in.index) << 20) ^
                  std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())) {}

std::string client_run::prefix() const { return "client " + std::to_string(state.index) + ": "; }

void client_run::error(const std::string &what) { context.errors.add(prefix() + what); }

std::optional<tvn_client::connection> client_run::first_exchange(const tvn_client::bytes &packet,
                                                                 tvn_client::answer &into,
                                                                 const std::string &what) {
    // A password change is never given up half-way: it could still arrive and be made.
    const bool may_abandon = packet[TVN_OFF_METHOD] != CHANGEPWD;
    for (int attempt = 1;; ++attempt) {
        auto link = tvn_client::connection::connect_to("127.0.0.1", context.port, connect_timeout);
        std::string failure;
        if (!link) {
            failure = std::string("cannot connect: ") + std::strerror(errno);
        } else if (const delivery sent = deliver(*link, packet, may_abandon);
                   sent != delivery::taken) {
            if (sent == delivery::abandoned) ++context.counts.abandoned_logins;
            failure = sent == delivery::refused ? "the connection was reset at once"
                                                : "the backlog never let the connection in";
            if (sent == delivery::stuck) attempt = connect_attempts;
        } else {
            const auto result = link->read_answer(into, answer_timeout);
            if (result == tvn_client::read_result::answer_read) {
                ++context.counts.requests;
                ++context.counts.answered[packet[TVN_OFF_METHOD]];
                return link;
            }
            failure = result_text(result);
            // Only a connection the server never took is tried again: one that was reset
            // or closed before its first answer came.
            if (result != tvn_client::read_result::closed) attempt = connect_attempts;
        }
        if (attempt == connect_attempts) {
            error(what + ": " + failure);
            return std::nullopt;
        }
        ++context.counts.connect_retries;
        std::this_thread::sleep_for(attempt * 100ms);
    }
}

std::optional<tvn_client::connection> client_run::log_in(const std::string &user,
                                                         const std::string &password) {
    const std::string login = user + "@" + context.domain;
    auto link = first_exchange(
        tvn_client::connect_request(login, password, TVN_OPTION_EXTENDED_LISTING).build(), answer_,
        "CONNECT " + login);
    if (!link || !expect(CONNECT, OK, TVN_ANSWER_SESSION, "CONNECT " + login)) return std::nullopt;
    ++context.counts.sessions;
    return link;
}

bool client_run::refused_login(const std::string &user, const std::string &password) {
    const std::string what = "CONNECT " + user + "@" + context.domain + " with an old password";
    auto link = first_exchange(
        tvn_client::connect_request(user + "@" + context.domain, password).build(), answer_, what);
    if (!link || !expect(CONNECT, WRONG_AUTH, TVN_ANSWER_ERROR, what)) return false;
    if (!link->wait_closed(answer_timeout)) {
        error(what + ": the connection stayed open after the refusal");
        return false;
    }
    return true;
}

bool client_run::ask(tvn_client::connection &link, const tvn_client::bytes &packet,
                     std::uint8_t method, const std::string &what) {
    const auto result = link.request(packet, answer_, answer_timeout);
    if (result != tvn_client::read_result::answer_read) {
        error(what + ": " + result_text(result));
        return false;
    }
    ++context.counts.requests;
    ++context.counts.answered[method];
    return true;
}

bool client_run::expect(std::uint8_t method, std::uint8_t status, std::uint32_t header_length,
                        const std::string &what) {
    if (answer_.method() == method && answer_.status() == status &&
        answer_.header_length() == header_length)
        return true;
    error(what + ": answered method " + std::to_string(answer_.method()) + " status " +
          std::to_string(answer_.status()) + " header " + std::to_string(answer_.header_length()) +
          ", wanted method " + std::to_string(method) + " status " + std::to_string(status) +
          " header " + std::to_string(header_length));
    return false;
}

} // namespace tvnsoak
