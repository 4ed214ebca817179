// The counting relay: non-blocking sockets and a buffer each way, so that it never stops one
// direction while it waits on the other; headers are read as the bytes arrive, before they are
// passed on.
#include "counting_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"

namespace tvn_test {

namespace {

// Finds the 16-byte header of each packet in a stream given in arbitrary pieces.
class header_scanner {
public:
    template <typename on_header_fn>
    void feed(const std::uint8_t *data, std::size_t count, on_header_fn &&on_header) {
        while (count > 0) {
            if (skip_ > 0) {
                const std::size_t passed = std::min<std::uint64_t>(skip_, count);
                skip_ -= passed;
                data += passed;
                count -= passed;
                continue;
            }
            const std::size_t taken = std::min(TVN_FIXED_HEADER - have_, count);
            std::memcpy(header_.data() + have_, data, taken);
            have_ += taken;
            data += taken;
            count -= taken;
            if (have_ < TVN_FIXED_HEADER) continue;
            have_ = 0;
            const std::uint32_t header_length =
                std::max<std::uint32_t>(tvn_wire::get_le32(&header_[TVN_OFF_HEADER_LENGTH]),
                                        TVN_FIXED_HEADER);
            skip_ = header_length - TVN_FIXED_HEADER +
                    std::uint64_t(tvn_wire::get_le32(&header_[TVN_OFF_BODY_LENGTH]));
            on_header(header_[TVN_OFF_METHOD]);
        }
    }

private:
    std::array<std::uint8_t, TVN_FIXED_HEADER> header_{};
    std::size_t have_ = 0;
    std::uint64_t skip_ = 0;
};

// Bytes read from one socket and not yet written to the other.
struct one_way {
    int from, to;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(1 << 18);
    std::size_t start = 0, end = 0;
    bool from_ended = false;

    bool has_room() const { return !from_ended && end < buffer.size(); }
    bool has_data() const { return start < end; }
    // false when the connection is over.
    template <typename scan_fn>
    bool read_in(scan_fn &&scan) {
        const ssize_t got = recv(from, buffer.data() + end, buffer.size() - end, 0);
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        if (got == 0) {
            from_ended = true;
            return true;
        }
        scan(buffer.data() + end, std::size_t(got));
        end += std::size_t(got);
        return true;
    }
    bool write_out() {
        const ssize_t sent = send(to, buffer.data() + start, end - start, MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EINTR;
        start += std::size_t(sent);
        if (start == end) start = end = 0;
        return true;
    }
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

} // namespace

counting_relay::counting_relay(std::uint16_t server_port, answer_hook hook)
        : hook_(std::move(hook)), server_port_(server_port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("counting_relay: cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

counting_relay::~counting_relay() {
    const char stop = 's';
    if (write(wake_[1], &stop, 1) != 1) {}
    thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]}) close(fd);
}

void counting_relay::run() {
    for (;;) {
        pollfd watched[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR) return;
        if (watched[1].revents != 0) return;
        if (watched[0].revents == 0) continue;
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server_port_);
        if (server >= 0 &&
            connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            cut_ = false;
            relay(client, server);
        }
        if (server >= 0) close(server);
        close(client);
    }
}

void counting_relay::relay(int client, int server) {
    set_nonblocking(client);
    set_nonblocking(server);
    one_way up{client, server}, down{server, client};
    header_scanner requests, answers;
    std::uint64_t in_flight = 0;
    std::array<std::uint64_t, 256> answered{};
    const auto count_request = [&](const std::uint8_t *data, std::size_t count) {
        requests.feed(data, count, [&](std::uint8_t method) {
            ++requests_[method];
            if (method == DISCONNECT || method == KEEPALIVE) return;
            ++in_flight;
            if (in_flight > max_in_flight_) max_in_flight_ = in_flight;
        });
    };
    const auto count_answer = [&](const std::uint8_t *data, std::size_t count) {
        answers.feed(data, count, [&](std::uint8_t method) {
            if (in_flight > 0) --in_flight;
            if (hook_) hook_(method, answered[method]);
            ++answered[method];
        });
    };
    for (;;) {
        if (cut_) return;
        // The connection is over once a side has ended and what it sent has been passed on.
        if ((up.from_ended && !up.has_data()) || (down.from_ended && !down.has_data())) return;
        pollfd watched[3] = {
            {client, short((up.has_room() ? POLLIN : 0) | (down.has_data() ? POLLOUT : 0)), 0},
            {server, short((down.has_room() ? POLLIN : 0) | (up.has_data() ? POLLOUT : 0)), 0},
            {wake_[0], POLLIN, 0}};
        if (poll(watched, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[2].revents != 0) return;
        bool alive = true;
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) alive = alive && up.read_in(count_request);
        if (watched[1].revents & (POLLIN | POLLHUP | POLLERR)) alive = alive && down.read_in(count_answer);
        if (up.has_data() && (watched[1].revents & POLLOUT)) alive = alive && up.write_out();
        if (down.has_data() && (watched[0].revents & POLLOUT)) alive = alive && down.write_out();
        if (!alive) return;
    }
}

} // namespace tvn_test
