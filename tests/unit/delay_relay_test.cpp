// The delay relay on loopback: the round trip it adds, bytes whole and in order both ways, that
// it goes on reading while it delays (so a transfer is not held to a window per round trip),
// its bound, and connection ends travelling through it.
#include "delay_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "seeded_content.h"

namespace {

using namespace std::chrono_literals;
using tvnbench::delay_relay;
using tvnbench::delay_relay_settings;
using steady = std::chrono::steady_clock;

constexpr auto long_wait = 10000ms; // for what must happen; only a fault makes a test wait it
constexpr auto quiet = 300ms;       // no progress for this long: the sender is stopped

class fd_guard {
public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(fd_guard &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    fd_guard &operator=(fd_guard &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

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

void limit_waits(int fd) {
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(long_wait).count(), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

fd_guard listen_on_loopback(std::uint16_t &port) {
    fd_guard listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 64) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return fd_guard();
    port = ntohs(address.sin_port);
    return listener;
}

fd_guard connect_to(std::uint16_t port) {
    fd_guard fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = loopback(port);
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        return fd_guard();
    limit_waits(fd.get());
    return fd;
}

fd_guard accept_within(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, int(long_wait.count())) != 1) return fd_guard();
    fd_guard fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    limit_waits(fd.get());
    return fd;
}

bool write_all(int fd, const std::uint8_t *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= std::size_t(put);
    }
    return true;
}

bool read_exactly(int fd, std::uint8_t *bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= std::size_t(got);
    }
    return true;
}

// True when the peer's end arrives (after any bytes still on the way) within the long wait.
bool sees_end(int fd) {
    std::uint8_t sink[4096];
    for (;;) {
        const ssize_t got = ::read(fd, sink, sizeof sink);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
        if (got < 0) return false; // the wait ran out
    }
}

// The seeded content, `size` bytes, sent in uneven pieces; then the sending side's end.
bool send_content(int fd, std::uint64_t seed, std::size_t size) {
    std::vector<std::uint8_t> piece(100003);
    for (std::size_t offset = 0; offset < size;) {
        const std::size_t length = std::min(piece.size(), size - offset);
        tvn_test::fill_content(seed, offset, {piece.data(), length});
        if (!write_all(fd, piece.data(), length)) return false;
        offset += length;
    }
    return shutdown(fd, SHUT_WR) == 0;
}

// Reads to the end; the checksum of what came, after what `checksum` already holds.
std::uint64_t receive_content(int fd, tvn_test::content_checksum checksum = {}) {
    std::vector<std::uint8_t> buffer(65521);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        checksum.update({buffer.data(), std::size_t(got)});
    }
    return checksum.value();
}

// A target listening on loopback, the relay in front of it, and one connection through both.
class relayed_connection {
public:
    explicit relayed_connection(const delay_relay_settings &settings)
            : listener_(listen_on_loopback(target_port_)),
              relay_(std::make_unique<delay_relay>("127.0.0.1", target_port_, settings)),
              client_(connect_to(relay_->port())),
              server_(accept_within(listener_.get())) {}

    bool ready() const { return client_.get() >= 0 && server_.get() >= 0; }
    int client() const { return client_.get(); }
    int server() const { return server_.get(); }
    fd_guard &client_guard() { return client_; }
    fd_guard &server_guard() { return server_; }
    delay_relay &relay() { return *relay_; }
    void end_relay() { relay_.reset(); }

private:
    std::uint16_t target_port_ = 0;
    fd_guard listener_;
    std::unique_ptr<delay_relay> relay_;
    fd_guard client_;
    fd_guard server_;
};

delay_relay_settings with_round_trip(std::chrono::milliseconds round_trip) {
    return delay_relay_settings{.round_trip = round_trip};
}

// Waits until the relay carries `count` connections; false when it does not after the long
// wait.
bool relay_carries(const delay_relay &relay, std::size_t count) {
    const auto until = steady::now() + long_wait;
    while (relay.connections() != count) {
        if (steady::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class delay_relay_round_trip : public ::testing::TestWithParam<std::chrono::milliseconds> {};

// The relay never gives a message back sooner than the round trip asked. A busy machine only
// lengthens some round trips (the test's threads wait for a core), never shortens one, so what
// the relay itself adds is the shortest round trip seen: within a fifth of the one asked.
TEST_P(delay_relay_round_trip, a_small_message_and_its_answer_take_the_round_trip_asked) {
    const auto round_trip = GetParam();
    const double asked = double(round_trip.count());
    relayed_connection through(with_round_trip(round_trip));
    ASSERT_TRUE(through.ready());
    std::vector<double> taken;
    for (int i = 0; i < 15; ++i) {
        std::uint8_t message[32];
        std::fill(std::begin(message), std::end(message), std::uint8_t(i));
        const auto sent = steady::now();
        ASSERT_TRUE(write_all(through.client(), message, sizeof message));
        ASSERT_TRUE(read_exactly(through.server(), message, sizeof message));
        ASSERT_TRUE(write_all(through.server(), message, sizeof message));
        ASSERT_TRUE(read_exactly(through.client(), message, sizeof message));
        taken.push_back(std::chrono::duration<double, std::milli>(steady::now() - sent).count());
        EXPECT_EQ(message[31], std::uint8_t(i));
    }
    std::sort(taken.begin(), taken.end());
    const double shortest = taken.front();
    const double median = taken[taken.size() / 2];
    EXPECT_GE(shortest, asked) << "a message came back early; median " << median << " ms";
    EXPECT_LE(shortest, 1.2 * asked) << "median " << median << " ms";
}

INSTANTIATE_TEST_SUITE_P(rows, delay_relay_round_trip, ::testing::Values(40ms, 100ms),
                         [](const auto &info) {
                             return std::to_string(info.param.count()) + "ms";
                         });

TEST(delay_relay, a_large_transfer_arrives_whole_and_in_order_both_ways_at_once) {
    constexpr std::size_t size = std::size_t(64) << 20;
    relayed_connection through(with_round_trip(20ms));
    ASSERT_TRUE(through.ready());
    bool up_sent = false, down_sent = false;
    std::uint64_t up_received = 0, down_received = 0;
    std::vector<std::thread> sides;
    sides.emplace_back([&] { up_sent = send_content(through.client(), 1, size); });
    sides.emplace_back([&] { down_sent = send_content(through.server(), 2, size); });
    sides.emplace_back([&] { up_received = receive_content(through.server()); });
    sides.emplace_back([&] { down_received = receive_content(through.client()); });
    for (auto &side : sides) side.join();
    EXPECT_TRUE(up_sent);
    EXPECT_TRUE(down_sent);
    EXPECT_EQ(up_received, tvn_test::checksum_of_content(1, size));
    EXPECT_EQ(down_received, tvn_test::checksum_of_content(2, size));
}

// A relay that read only as fast as it delivered would hold the sender to what the sockets
// buffer (a few MiB) until the first bytes are due. This one takes the whole transfer in while
// not one byte is due yet: the round trip is far longer than the test.
TEST(delay_relay, the_sender_is_not_held_back_while_its_bytes_are_delayed) {
    constexpr std::size_t size = std::size_t(64) << 20;
    relayed_connection through(with_round_trip(std::chrono::minutes(10)));
    ASSERT_TRUE(through.ready());
    EXPECT_TRUE(send_content(through.client(), 3, size));
    pollfd readable{through.server(), POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 0) << "bytes came before their time";
    EXPECT_GE(through.relay().peak_held(), size / 2);
}

// Waits until the sender can write no more; false when it still could after the long wait.
// Sends the seeded content from `sent` on.
bool fill_until_stopped(int fd, std::uint64_t seed, std::size_t &sent,
                        const std::function<bool()> &full) {
    std::vector<std::uint8_t> piece(1 << 16);
    const auto until = steady::now() + long_wait;
    for (;;) {
        tvn_test::fill_content(seed, sent, piece);
        const ssize_t put = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        if (put > 0) {
            sent += std::size_t(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (steady::now() > until) return false;
        // Refused for now: stopped for good once the relay is full and stays so.
        pollfd writable{fd, POLLOUT, 0};
        if (full() && poll(&writable, 1, int(quiet.count())) == 0) return true;
        if (!full()) poll(&writable, 1, 10);
    }
}

TEST(delay_relay, a_receiver_that_stops_reading_stops_the_sender_at_the_bound) {
    constexpr std::size_t limit = std::size_t(4) << 20;
    relayed_connection through(
        delay_relay_settings{.round_trip = 2ms, .limit_per_direction = limit});
    ASSERT_TRUE(through.ready());
    ASSERT_EQ(fcntl(through.client(), F_SETFL, O_NONBLOCK), 0);
    std::size_t sent = 0;
    // Full: its chunks reach the bound, and then it reads no more.
    const auto full = [&] { return through.relay().peak_held() >= limit * 3 / 4; };
    ASSERT_TRUE(fill_until_stopped(through.client(), 4, sent, full))
        << sent << " bytes sent, the relay holds at most " << through.relay().peak_held();
    EXPECT_LE(through.relay().peak_held(), limit);
    ASSERT_EQ(fcntl(through.client(), F_SETFL, 0), 0);
    ASSERT_EQ(shutdown(through.client(), SHUT_WR), 0);
    // Once the receiver reads, everything held comes, in order.
    EXPECT_EQ(receive_content(through.server()), tvn_test::checksum_of_content(4, sent));
}

struct closing_case {
    const char *name;
    bool client_closes; // else the server's side does
};

void PrintTo(const closing_case &row, std::ostream *out) { *out << row.name; }

class delay_relay_closing : public ::testing::TestWithParam<closing_case> {};

TEST_P(delay_relay_closing, closing_one_side_ends_the_other_after_the_delay_and_the_link) {
    constexpr auto round_trip = 100ms;
    relayed_connection through(with_round_trip(round_trip));
    ASSERT_TRUE(through.ready());
    const bool client_closes = GetParam().client_closes;
    fd_guard &closing = client_closes ? through.client_guard() : through.server_guard();
    fd_guard &other = client_closes ? through.server_guard() : through.client_guard();
    const std::uint8_t last_words[] = "bye";
    ASSERT_TRUE(write_all(closing.get(), last_words, sizeof last_words));
    const auto closed = steady::now();
    closing.reset();
    std::uint8_t heard[sizeof last_words] = {};
    ASSERT_TRUE(read_exactly(other.get(), heard, sizeof heard));
    EXPECT_STREQ(reinterpret_cast<const char *>(heard), "bye");
    EXPECT_TRUE(sees_end(other.get()));
    EXPECT_GE(steady::now() - closed, round_trip / 2 * 8 / 10);
    other.reset();
    EXPECT_TRUE(relay_carries(through.relay(), 0));
}

INSTANTIATE_TEST_SUITE_P(rows, delay_relay_closing,
                         ::testing::Values(closing_case{"the_client_closes", true},
                                           closing_case{"the_server_closes", false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(delay_relay, a_target_that_refuses_ends_the_relayed_connection) {
    std::uint16_t port = 0;
    {
        const fd_guard gone = listen_on_loopback(port); // a port nothing listens on afterwards
        ASSERT_GE(gone.get(), 0);
    }
    delay_relay relay("127.0.0.1", port, with_round_trip(10ms));
    const fd_guard client = connect_to(relay.port());
    ASSERT_GE(client.get(), 0);
    EXPECT_TRUE(sees_end(client.get()));
    EXPECT_TRUE(relay_carries(relay, 0));
}

TEST(delay_relay, ending_the_relay_ends_the_connections_it_carries) {
    relayed_connection through(with_round_trip(10ms));
    ASSERT_TRUE(through.ready());
    EXPECT_TRUE(relay_carries(through.relay(), 1));
    through.end_relay();
    EXPECT_TRUE(sees_end(through.client()));
    EXPECT_TRUE(sees_end(through.server()));
}

TEST(delay_relay, many_connections_at_once_each_keep_their_own_bytes) {
    constexpr int count = 40;
    std::uint16_t target_port = 0;
    const fd_guard listener = listen_on_loopback(target_port);
    ASSERT_GE(listener.get(), 0);
    delay_relay relay("127.0.0.1", target_port, with_round_trip(20ms));
    std::vector<fd_guard> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(connect_to(relay.port()));
        ASSERT_GE(clients.back().get(), 0);
        const std::uint8_t name = std::uint8_t(i);
        ASSERT_TRUE(write_all(clients.back().get(), &name, 1));
    }
    // Each server side answers with the name it heard, twice; each client hears its own.
    for (int i = 0; i < count; ++i) {
        const fd_guard server = accept_within(listener.get());
        ASSERT_GE(server.get(), 0);
        std::uint8_t name[2] = {};
        ASSERT_TRUE(read_exactly(server.get(), name, 1));
        name[1] = name[0];
        ASSERT_TRUE(write_all(server.get(), name, 2));
    }
    for (int i = 0; i < count; ++i) {
        std::uint8_t heard[2] = {};
        ASSERT_TRUE(read_exactly(clients[std::size_t(i)].get(), heard, 2));
        EXPECT_EQ(heard[0], std::uint8_t(i));
        EXPECT_EQ(heard[1], std::uint8_t(i));
    }
}

} // namespace
