// The client connection and the answers it reads: whole and piecemeal answers, the four
// outcomes of a read, waiting for a close or for silence, sending, and connecting.
#include "tolvane/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "tolvane/protocol.h"

namespace {

using namespace std::chrono_literals;
using tvn_client::connection;
using tvn_client::read_result;
using bytes = std::vector<uint8_t>;

constexpr auto long_wait = 5000ms; // for what must happen; only a fault makes a test wait it
constexpr auto short_wait = 50ms;  // for what must not happen

void append_u32(bytes &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

// An answer written out byte by byte: fixed header, parameter block, body.
bytes answer_bytes(uint8_t method, uint8_t status, const bytes &params, const bytes &body,
                   const char *magic = "SISP") {
    bytes out;
    for (uint8_t byte : {uint8_t(magic[0]), uint8_t(magic[1]), uint8_t(magic[2]), uint8_t(magic[3]),
                         uint8_t(1), uint8_t(0), method, status})
        out.push_back(byte);
    append_u32(out, uint32_t(16 + params.size()));
    append_u32(out, uint32_t(body.size()));
    out.insert(out.end(), params.begin(), params.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bytes pattern(size_t size) {
    bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = uint8_t(i * 7 + i / 251);
    return out;
}

// Writes everything on a blocking descriptor; false on an error.
bool write_all(int fd, const bytes &data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Sends `data` in pieces of `piece` bytes, each only once the reader has taken everything
// before it, so the reader meets every piece as a separate arrival.
std::jthread deliver_in_pieces(int writer_fd, int reader_fd, bytes data, size_t piece) {
    return std::jthread([=] {
        for (size_t at = 0; at < data.size(); at += piece) {
            const size_t count = std::min(piece, data.size() - at);
            if (!write_all(writer_fd, bytes(data.begin() + at, data.begin() + at + count))) return;
            const auto deadline = std::chrono::steady_clock::now() + long_wait;
            int unread = 1;
            while (ioctl(reader_fd, FIONREAD, &unread) == 0 && unread > 0 &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(200us);
        }
    });
}

class client_connection : public ::testing::Test {
protected:
    void SetUp() override { reopen(); }
    // A fresh pair: the client's end in `conn`, the server's end in `peer`. The peer's
    // blocking reads and writes give up after long_wait, so a failing test cannot hang on
    // a helper thread.
    void reopen() {
        close_peer();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        conn = connection(fds[0]);
        peer = fds[1];
        const timeval limit{long_wait.count() / 1000, 0};
        setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    void TearDown() override { close_peer(); }
    void close_peer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }

    connection conn;
    int peer = -1;
    tvn_client::answer answer;
};

TEST_F(client_connection, reads_a_whole_answer_and_its_fields) {
    bytes params;
    append_u32(params, 0);
    append_u32(params, 7);
    append_u32(params, 0x00bc614e);
    ASSERT_TRUE(write_all(peer, answer_bytes(OPEN, OK, params, {})));
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.major_version(), 1);
    EXPECT_EQ(answer.minor_version(), 0);
    EXPECT_EQ(answer.method(), OPEN);
    EXPECT_EQ(answer.status(), OK);
    EXPECT_EQ(answer.header_length(), 28u);
    EXPECT_EQ(answer.body_length(), 0u);
    EXPECT_EQ(answer.header().size(), 28u);
    EXPECT_EQ(answer.params().size(), 12u);
    EXPECT_TRUE(answer.body().empty());
    EXPECT_EQ(answer.param_u32(4), 7u);
    EXPECT_EQ(answer.param_u32(8), 0x00bc614eu);
    EXPECT_EQ(answer.param_u16(8), 0x614eu);
    EXPECT_EQ(answer.param_u16(10), 0x00bcu);
}

TEST_F(client_connection, parameter_reads_past_the_block_are_refused) {
    bytes params;
    append_u32(params, 0x01020304);
    ASSERT_TRUE(write_all(peer, answer_bytes(GETDIR, OK, params, {9, 9, 9, 9})));
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.param_u32(0), 0x01020304u);
    EXPECT_EQ(answer.param_u32(1), std::nullopt); // the body must not be read as parameters
    EXPECT_EQ(answer.param_u16(2), 0x0102u);
    EXPECT_EQ(answer.param_u16(3), std::nullopt);
    EXPECT_EQ(answer.param_u32(std::numeric_limits<size_t>::max() - 1), std::nullopt);
    EXPECT_EQ(answer.param_u16(std::numeric_limits<size_t>::max()), std::nullopt);
}

TEST_F(client_connection, an_answer_without_parameters_has_none_to_read) {
    ASSERT_TRUE(write_all(peer, answer_bytes(READ, NOT_FOUND, {}, {})));
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.status(), NOT_FOUND);
    EXPECT_TRUE(answer.params().empty());
    EXPECT_EQ(answer.param_u32(0), std::nullopt);
}

TEST_F(client_connection, an_unread_answer_reports_zero_fields) {
    EXPECT_EQ(answer.method(), 0);
    EXPECT_EQ(answer.header_length(), 0u);
    EXPECT_EQ(answer.param_u32(0), std::nullopt);
    EXPECT_TRUE(answer.body().empty());
}

TEST_F(client_connection, an_answer_arriving_three_bytes_at_a_time_is_assembled) {
    bytes params;
    append_u32(params, 0);
    const bytes body = pattern(41);
    const bytes sent = answer_bytes(READ, OK, params, body);
    auto writer = deliver_in_pieces(peer, conn.fd(), sent, 3);
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.header_length(), 20u);
    EXPECT_EQ(bytes(answer.body().begin(), answer.body().end()), body);
}

TEST_F(client_connection, a_500000_byte_body_arriving_in_pieces_is_assembled) {
    bytes params;
    append_u32(params, 0);
    const bytes body = pattern(TVN_MAX_TRANSFER);
    auto writer = deliver_in_pieces(peer, conn.fd(), answer_bytes(READ, OK, params, body), 65000);
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.body_length(), uint32_t(TVN_MAX_TRANSFER));
    EXPECT_TRUE(bytes(answer.body().begin(), answer.body().end()) == body);
}

TEST_F(client_connection, two_answers_in_one_write_are_read_one_at_a_time) {
    bytes both = answer_bytes(MKDIR, OK, {0, 0, 0, 0}, {});
    const bytes second = answer_bytes(GETDIR, OK, {0, 0, 0, 0}, {'x', 0, 1, 2, 3, 4});
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(write_all(peer, both));
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.method(), MKDIR);
    EXPECT_TRUE(answer.body().empty());
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.method(), GETDIR);
    EXPECT_EQ(bytes(answer.body().begin(), answer.body().end()), (bytes{'x', 0, 1, 2, 3, 4}));
    EXPECT_TRUE(conn.nothing_received(short_wait));
}

TEST_F(client_connection, a_reused_answer_keeps_its_body_buffer) {
    const bytes params{0, 0, 0, 0};
    const bytes big = pattern(TVN_MAX_TRANSFER);
    auto writer = std::jthread([&] {
        write_all(peer, answer_bytes(READ, OK, params, big));
        write_all(peer, answer_bytes(READ, OK, params, {1, 2, 3}));
        write_all(peer, answer_bytes(READ, OK, params, bytes(big.begin(), big.end() - 1000)));
    });
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    const uint8_t *buffer = answer.body().data();
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.body().data(), buffer);
    EXPECT_EQ(bytes(answer.body().begin(), answer.body().end()), (bytes{1, 2, 3}));
    ASSERT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.body().data(), buffer);
    EXPECT_EQ(answer.body().size(), big.size() - 1000);
    EXPECT_TRUE(std::equal(answer.body().begin(), answer.body().end(), big.begin()));
}

TEST_F(client_connection, a_close_before_any_byte_is_closed) {
    close_peer();
    EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::closed);
}

TEST_F(client_connection, a_close_after_an_answer_is_closed_on_the_next_read) {
    ASSERT_TRUE(write_all(peer, answer_bytes(CLOSE, OK, {0, 0, 0, 0}, {})));
    close_peer();
    EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::closed);
}

TEST_F(client_connection, a_close_inside_an_answer_is_broken) {
    const bytes whole = answer_bytes(GETDIR, OK, {0, 0, 0, 0}, {'a', 0, 1, 2, 3, 4});
    // Inside the fixed header, inside the parameter block, inside the body.
    for (size_t cut : {1u, 15u, 18u, 21u, 25u}) {
        reopen();
        ASSERT_TRUE(write_all(peer, bytes(whole.begin(), whole.begin() + cut)));
        close_peer();
        EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::broken) << "cut at " << cut;
    }
}

TEST_F(client_connection, headers_no_server_sends_are_broken) {
    bytes wrong_magic = answer_bytes(OPEN, OK, {}, {}, "SISQ");
    bytes short_header = answer_bytes(OPEN, OK, {}, {});
    short_header[TVN_OFF_HEADER_LENGTH] = 15;
    bytes huge_header = answer_bytes(OPEN, OK, {}, {});
    huge_header[TVN_OFF_HEADER_LENGTH] = 0x11; // 10001 = 0x2711
    huge_header[TVN_OFF_HEADER_LENGTH + 1] = 0x27;
    bytes huge_body = answer_bytes(OPEN, OK, {}, {});
    huge_body[TVN_OFF_BODY_LENGTH + 3] = 0x80;
    for (const bytes &packet : {wrong_magic, short_header, huge_header, huge_body}) {
        reopen();
        ASSERT_TRUE(write_all(peer, packet));
        EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::broken);
    }
}

TEST_F(client_connection, silence_times_out) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn.read_answer(answer, short_wait), read_result::timed_out);
    EXPECT_GE(std::chrono::steady_clock::now() - start, short_wait);
}

TEST_F(client_connection, silence_inside_an_answer_times_out) {
    const bytes whole = answer_bytes(READ, OK, {0, 0, 0, 0}, {1, 2, 3});
    for (size_t cut : {5u, 16u, 20u, 22u}) {
        reopen();
        ASSERT_TRUE(write_all(peer, bytes(whole.begin(), whole.begin() + cut)));
        EXPECT_EQ(conn.read_answer(answer, short_wait), read_result::timed_out) << cut;
    }
}

TEST_F(client_connection, wait_closed_sees_a_close_without_bytes) {
    close_peer();
    EXPECT_TRUE(conn.wait_closed(long_wait));
}

TEST_F(client_connection, wait_closed_is_false_when_a_byte_comes_first_and_consumes_nothing) {
    ASSERT_TRUE(write_all(peer, answer_bytes(DELETE, OK, {0, 0, 0, 0}, {})));
    close_peer();
    EXPECT_FALSE(conn.wait_closed(long_wait));
    EXPECT_EQ(conn.read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.method(), DELETE);
}

TEST_F(client_connection, wait_closed_is_false_on_silence) {
    EXPECT_FALSE(conn.wait_closed(short_wait));
}

TEST_F(client_connection, nothing_received_holds_only_for_an_open_silent_peer) {
    EXPECT_TRUE(conn.nothing_received(short_wait));
    ASSERT_TRUE(write_all(peer, {'S'}));
    EXPECT_FALSE(conn.nothing_received(short_wait));
    char byte;
    ASSERT_EQ(recv(conn.fd(), &byte, 1, 0), 1);
    close_peer();
    EXPECT_FALSE(conn.nothing_received(short_wait));
}

TEST_F(client_connection, send_all_delivers_more_than_a_socket_buffer) {
    const bytes data = pattern(3 << 20);
    bytes received;
    auto reader = std::jthread([&] {
        uint8_t chunk[65536];
        ssize_t n;
        while ((n = read(peer, chunk, sizeof chunk)) > 0)
            received.insert(received.end(), chunk, chunk + n);
    });
    EXPECT_TRUE(conn.send_all(data, long_wait));
    conn.close(); // the reader's end of file
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST_F(client_connection, send_all_gives_up_at_its_deadline_when_nothing_is_read) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(conn.send_all(pattern(8 << 20), short_wait));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, long_wait);
}

TEST_F(client_connection, send_all_to_a_closed_peer_fails_without_a_signal) {
    // The default action, which ends the process, whatever this process inherited.
    struct sigaction fatal {
    }, previous{};
    fatal.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &fatal, &previous), 0);
    close_peer();
    EXPECT_FALSE(conn.send_all(bytes(16, 0), short_wait));
    EXPECT_EQ(errno, EPIPE);
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(client_connection, request_sends_the_packet_then_reads_the_answer) {
    const bytes packet{'S', 'I', 'S', 'P', 1, 0, KEEPALIVE, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    bytes seen(packet.size());
    auto server = std::jthread([&] {
        size_t got = 0;
        while (got < seen.size()) {
            const ssize_t n = read(peer, seen.data() + got, seen.size() - got);
            if (n <= 0) return;
            got += size_t(n);
        }
        write_all(peer, answer_bytes(RENAME, OK, {0, 0, 0, 0}, {}));
    });
    ASSERT_EQ(conn.request(packet, answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.method(), RENAME);
    server.join();
    EXPECT_EQ(seen, packet);
}

TEST_F(client_connection, moving_transfers_the_socket_and_destruction_closes_it) {
    const int fd = conn.fd();
    {
        connection moved(std::move(conn));
        EXPECT_EQ(conn.fd(), -1);
        EXPECT_FALSE(conn.is_open());
        EXPECT_EQ(moved.fd(), fd);
        connection assigned;
        assigned = std::move(moved);
        EXPECT_EQ(moved.fd(), -1);
        EXPECT_EQ(assigned.fd(), fd);
    }
    char byte;
    pollfd entry{peer, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, int(long_wait.count())), 1);
    EXPECT_EQ(read(peer, &byte, 1), 0);
}

TEST_F(client_connection, close_releases_the_socket) {
    conn.close();
    EXPECT_FALSE(conn.is_open());
    EXPECT_EQ(conn.fd(), -1);
    conn.close(); // twice is harmless
}

// A listener on 127.0.0.1 with a port of the kernel's choosing.
class loopback_listener {
public:
    loopback_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(fd_, 4) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~loopback_listener() {
        if (fd_ >= 0) close(fd_);
    }
    uint16_t port() const { return port_; }
    int accept_one() {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, int(long_wait.count())) != 1) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

TEST(client_connection_tcp, connects_to_a_loopback_listener_and_reads_an_answer) {
    loopback_listener listener;
    ASSERT_NE(listener.port(), 0);
    auto conn = connection::connect_to("127.0.0.1", listener.port(), long_wait);
    ASSERT_TRUE(conn.has_value()) << std::strerror(errno);
    const int server = listener.accept_one();
    ASSERT_GE(server, 0);
    ASSERT_TRUE(write_all(server, answer_bytes(CONNECT, OK, bytes(28, 0), {})));
    tvn_client::answer answer;
    EXPECT_EQ(conn->read_answer(answer, long_wait), read_result::answer_read);
    EXPECT_EQ(answer.header_length(), 44u);
    close(server);
    EXPECT_TRUE(conn->wait_closed(long_wait));
}

// The accepted end, closed with unread data discarded: the peer sees a reset, not a close.
int accept_and_reset(loopback_listener &listener) {
    const int server = listener.accept_one();
    const linger abort_on_close{1, 0};
    if (server < 0) return -1;
    if (setsockopt(server, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close) != 0)
        return -1;
    return close(server);
}

TEST(client_connection_tcp, a_reset_before_any_byte_counts_as_closed) {
    loopback_listener listener;
    auto conn = connection::connect_to("127.0.0.1", listener.port(), long_wait);
    ASSERT_TRUE(conn.has_value());
    ASSERT_EQ(accept_and_reset(listener), 0);
    tvn_client::answer answer;
    EXPECT_EQ(conn->read_answer(answer, long_wait), read_result::closed);
}

TEST(client_connection_tcp, wait_closed_sees_a_reset) {
    loopback_listener listener;
    auto conn = connection::connect_to("127.0.0.1", listener.port(), long_wait);
    ASSERT_TRUE(conn.has_value());
    ASSERT_EQ(accept_and_reset(listener), 0);
    EXPECT_TRUE(conn->wait_closed(long_wait));
}

TEST(client_connection_tcp, a_refused_connection_is_empty) {
    uint16_t port;
    {
        loopback_listener listener;
        port = listener.port();
    }
    ASSERT_NE(port, 0);
    EXPECT_FALSE(connection::connect_to("127.0.0.1", port, long_wait).has_value());
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(client_connection_tcp, an_address_that_is_not_dotted_ipv4_is_refused) {
    EXPECT_FALSE(connection::connect_to("localhost", 1, short_wait).has_value());
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
