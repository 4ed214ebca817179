// The connection: a non-blocking socket, so that every send and receive can be bounded by a
// deadline with poll. Over TLS the same loops run through the session (tls_session.h), which
// asks for the socket to become readable or writable where a plain call would say EAGAIN.
#include "tolvane/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"
#include "tls_session.h"

namespace tvn_client {

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

connection::connection(int fd) : fd_(fd) {
    if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

connection &connection::operator=(connection &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        tls_ = other.tls_;
        other.fd_ = -1;
        other.tls_ = nullptr;
    }
    return *this;
}

void connection::close() {
    if (tls_ != nullptr) end_tls_session(tls_);
    tls_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<connection> connection::connect_to(std::string_view ipv4_address, std::uint16_t port,
                                                 milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, std::string(ipv4_address).c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return std::nullopt;
    }
    connection result(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!result.is_open()) return std::nullopt;
    if (connect(result.fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return std::nullopt;
        if (!result.wait_for(POLLOUT, deadline)) {
            if (errno == 0) errno = ETIMEDOUT;
            return std::nullopt;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(result.fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return std::nullopt;
        if (error != 0) {
            errno = error;
            return std::nullopt;
        }
    }
    // A request is sent whole, and tests that send a packet in pieces mean each piece to
    // leave at once.
    const int on = 1;
    setsockopt(result.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return result;
}

bool connection::wait_for(short events, clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd_, events, 0};
        const int ready = poll(&entry, 1, remaining_ms(deadline));
        if (ready > 0) return true;
        if (ready == 0) {
            errno = 0;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

bool connection::wait_as_asked(io_step step, clock::time_point deadline) {
    return wait_for(step == io_step::wait_write ? POLLOUT : POLLIN, deadline);
}

connection::io_step connection::step_of(tls_io step) {
    switch (step) {
    case tls_io::done: return io_step::done;
    case tls_io::want_read: return io_step::wait_read;
    case tls_io::want_write: return io_step::wait_write;
    case tls_io::ended: return io_step::ended;
    case tls_io::failed: break;
    }
    return io_step::failed;
}

connection::io_step connection::read_some(std::uint8_t *into, std::size_t count,
                                          std::size_t &got) {
    if (tls_ != nullptr) return step_of(tls_read(*tls_, into, count, got));
    for (;;) {
        const ssize_t n = recv(fd_, into, count, 0);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return io_step::done;
        }
        if (n == 0) return io_step::ended;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? io_step::wait_read : io_step::failed;
    }
}

connection::io_step connection::write_some(const std::uint8_t *data, std::size_t count,
                                           std::size_t &sent) {
    if (tls_ != nullptr) return step_of(tls_write(*tls_, data, count, sent));
    for (;;) {
        const ssize_t n = send(fd_, data, count, MSG_NOSIGNAL);
        if (n >= 0) {
            sent = static_cast<std::size_t>(n);
            return io_step::done;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? io_step::wait_write : io_step::failed;
    }
}

connection::io_step connection::peek_byte() {
    if (tls_ != nullptr) return step_of(tls_peek(*tls_));
    for (;;) {
        std::uint8_t byte;
        const ssize_t n = recv(fd_, &byte, 1, MSG_PEEK);
        if (n > 0) return io_step::done;
        if (n == 0) return io_step::ended;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? io_step::wait_read : io_step::failed;
    }
}

bool connection::send_all(std::span<const std::uint8_t> data, milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    while (!data.empty()) {
        std::size_t sent = 0;
        const io_step step = write_some(data.data(), data.size(), sent);
        if (step == io_step::done) {
            data = data.subspan(sent);
        } else if (step == io_step::wait_read || step == io_step::wait_write) {
            if (!wait_as_asked(step, deadline)) {
                if (errno == 0) errno = ETIMEDOUT;
                return false;
            }
        } else {
            if (step == io_step::ended) errno = EPIPE;
            return false;
        }
    }
    return true;
}

read_result connection::receive(std::uint8_t *into, std::size_t count, clock::time_point deadline,
                                bool first_of_answer) {
    std::size_t got = 0;
    while (got < count) {
        std::size_t n = 0;
        const io_step step = read_some(into + got, count - got, n);
        if (step == io_step::done) {
            got += n;
            continue;
        }
        const bool nothing_yet = first_of_answer && got == 0;
        if (step == io_step::ended) return nothing_yet ? read_result::closed : read_result::broken;
        if (step == io_step::wait_read || step == io_step::wait_write) {
            if (!wait_as_asked(step, deadline))
                return errno == 0 ? read_result::timed_out : read_result::broken;
            continue;
        }
        return nothing_yet && errno == ECONNRESET ? read_result::closed : read_result::broken;
    }
    return read_result::answer_read;
}

read_result connection::read_answer(answer &into, milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    into.clear();
    into.header_.resize(TVN_FIXED_HEADER);
    read_result result = receive(into.header_.data(), TVN_FIXED_HEADER, deadline, true);
    if (result != read_result::answer_read) return result;

    const std::uint32_t header_length = tvn_wire::get_le32(&into.header_[TVN_OFF_HEADER_LENGTH]);
    const std::uint32_t body_length = tvn_wire::get_le32(&into.header_[TVN_OFF_BODY_LENGTH]);
    const bool magic_ok =
        std::equal(into.header_.begin(), into.header_.begin() + TVN_MAGIC_LEN, TVN_MAGIC);
    if (!magic_ok || header_length < TVN_FIXED_HEADER || header_length > TVN_MAX_HEADER_LENGTH ||
        body_length > max_answer_body)
        return read_result::broken;

    into.header_.resize(header_length);
    result = receive(into.header_.data() + TVN_FIXED_HEADER, header_length - TVN_FIXED_HEADER,
                     deadline, false);
    if (result != read_result::answer_read) return result;

    if (into.body_.size() < body_length) into.body_.resize(body_length);
    result = receive(into.body_.data(), body_length, deadline, false);
    if (result == read_result::answer_read) into.body_size_ = body_length;
    return result;
}

read_result connection::request(std::span<const std::uint8_t> packet, answer &into,
                                milliseconds timeout) {
    if (!send_all(packet, timeout)) return read_result::broken;
    return read_answer(into, timeout);
}

connection::peer_event connection::next_event(clock::time_point deadline) {
    for (;;) {
        const io_step step = peek_byte();
        if (step == io_step::done) return peer_event::data;
        if (step == io_step::ended) return peer_event::ended;
        if (step == io_step::failed) return errno == ECONNRESET ? peer_event::ended : peer_event::error;
        if (!wait_as_asked(step, deadline))
            return errno == 0 ? peer_event::nothing : peer_event::error;
    }
}

bool connection::wait_closed(milliseconds timeout) {
    return next_event(clock::now() + timeout) == peer_event::ended;
}

bool connection::nothing_received(milliseconds timeout) {
    return next_event(clock::now() + timeout) == peer_event::nothing;
}

} // namespace tvn_client
