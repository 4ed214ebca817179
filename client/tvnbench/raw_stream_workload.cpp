// raw_stream: --size bytes over one TCP connection from one local socket to another, through
// the delay relay with --rtt: what the link itself lets a transfer reach, timed from the first
// byte sent to the last byte received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "data_set.h"
#include "delay_relay.h"
#include "figures.h"
#include "workloads.h"

namespace tvnbench {

namespace {

constexpr std::size_t block = std::size_t(1) << 20;

class socket_fd {
public:
    explicit socket_fd(int fd) : fd_(fd) {
        if (fd_ < 0) throw bench_error(std::string("raw_stream: socket: ") + std::strerror(errno));
    }
    ~socket_fd() { ::close(fd_); }
    socket_fd(const socket_fd &) = delete;
    socket_fd &operator=(const socket_fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Blocking reads and writes that give up after the time-out.
void limit_waits(int fd, std::chrono::milliseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timeval limit{static_cast<time_t>(seconds.count()),
                        static_cast<suseconds_t>((timeout - seconds).count() * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

std::uint16_t listen_on_loopback(const socket_fd &listener) {
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw bench_error(std::string("raw_stream: listening: ") + std::strerror(errno));
    return ntohs(address.sin_port);
}

struct receipt {
    std::uint64_t bytes = 0;
    bench_clock::time_point last;
    std::string failure;
};

// Takes one connection and reads it to its end.
void receive_all(const socket_fd &listener, std::chrono::milliseconds timeout, receipt &into) {
    pollfd waiting{listener.get(), POLLIN, 0};
    if (poll(&waiting, 1, int(timeout.count())) != 1) {
        into.failure = "no connection came";
        return;
    }
    const socket_fd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    limit_waits(peer.get(), timeout);
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(block);
    for (;;) {
        const ssize_t got = ::read(peer.get(), buffer.get(), block);
        if (got > 0) {
            into.bytes += std::uint64_t(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) into.failure = std::string("reading: ") + std::strerror(errno);
        break;
    }
    into.last = bench_clock::now();
}

void send_all(int fd, std::uint64_t size) {
    const auto &pattern = upload_pattern(block);
    for (std::uint64_t left = size; left > 0;) {
        const auto length = std::size_t(std::min<std::uint64_t>(block, left));
        const ssize_t put = ::send(fd, pattern.data(), length, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
            throw bench_error(std::string("raw_stream: sending: ") + std::strerror(errno));
        left -= std::uint64_t(put);
    }
    shutdown(fd, SHUT_WR);
}

} // namespace

void run_raw_stream(const bench_context &context) {
    const auto &options = context.options;
    const socket_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const std::uint16_t sink_port = listen_on_loopback(listener);
    std::unique_ptr<delay_relay> relay;
    if (options.rtt)
        relay = std::make_unique<delay_relay>("127.0.0.1", sink_port,
                                              delay_relay_settings{.round_trip = *options.rtt});
    receipt received;
    std::thread receiver([&] {
        try {
            receive_all(listener, options.timeout, received);
        } catch (const bench_error &error) {
            received.failure = error.what();
        }
    });
    bench_clock::time_point start;
    try {
        const socket_fd sender(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        limit_waits(sender.get(), options.timeout);
        const sockaddr_in to = loopback(relay ? relay->port() : sink_port);
        if (connect(sender.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
            throw bench_error(std::string("raw_stream: connecting: ") + std::strerror(errno));
        start = bench_clock::now();
        send_all(sender.get(), options.transfer_size);
    } catch (...) {
        // The receiver ends at its time-out, or at once once the relay is gone.
        relay.reset();
        receiver.join();
        throw;
    }
    receiver.join();
    if (!received.failure.empty()) throw bench_error("raw_stream: " + received.failure);
    if (received.bytes != options.transfer_size)
        throw bench_error("raw_stream: " + std::to_string(received.bytes) + " bytes of " +
                          std::to_string(options.transfer_size) + " arrived");
    print_figure(
        context.figure("raw_stream"),
        megabytes_per_second(double(received.bytes), seconds_between(start, received.last)), "MB/s",
        1);
}

} // namespace tvnbench
