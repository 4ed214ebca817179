// Reading a PROXY header from a socket: exactly its bytes, whatever pieces they come in, the
// client's bytes behind it left alone, and every way the wait for it can end; and what the
// worker makes of the header.
#include "proxy_reception.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "config.h"
#include "proxy_header.h"
#include "server_root.h"
#include "workers.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;

bytes text(const std::string &line) { return bytes(line.begin(), line.end()); }

bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const bytes sisp_packet = {'S', 'I', 'S', 'P', 1, 0, 14, 0, 16, 0, 0, 0, 0, 0, 0, 0};

bytes v2_header(uint8_t command, uint8_t family, const bytes &block) {
    bytes header = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A,
                    uint8_t(0x20 | command), family, uint8_t(block.size() >> 8),
                    uint8_t(block.size() & 0xFF)};
    return header + block;
}

class proxy_reception_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        area.running = 1;
        saved_area = tvn_process.area;
        tvn_process.area = &area;
    }
    void TearDown() override {
        tvn_process.area = saved_area;
        if (writer.joinable()) writer.join();
        for (int fd : ends)
            if (fd >= 0) close(fd);
    }

    int server_end() const { return ends[0]; }
    void send_bytes(const bytes &data) {
        ASSERT_EQ(write(ends[1], data.data(), data.size()), ssize_t(data.size()));
    }
    // Bytes waiting at the server's end, not yet taken.
    int waiting() const {
        int count = -1;
        ioctl(ends[0], SIOCINQ, &count);
        return count;
    }
    // Everything left at the server's end once the client's end is closed.
    bytes rest() {
        shutdown(ends[1], SHUT_WR);
        bytes left;
        uint8_t piece[4096];
        for (ssize_t got; (got = read(ends[0], piece, sizeof piece)) > 0;)
            left.insert(left.end(), piece, piece + got);
        return left;
    }
    header_wait read_header(int64_t wait_ms = 5000) {
        fault = nullptr;
        length = 0;
        return read_proxy_header(server_end(), monotonic_ms() + wait_ms, buffer.data(), &length,
                                 &fault);
    }

    int ends[2] = {-1, -1};
    tvn_status_area area{};
    tvn_status_area *saved_area = nullptr;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(PROXY_V2_MAX_LENGTH);
    std::size_t length = 0;
    const char *fault = nullptr;
    std::thread writer;
};

TEST_F(proxy_reception_test, a_header_and_the_first_packet_in_one_piece_leave_the_packet_whole) {
    const bytes header = text("PROXY TCP4 192.0.2.1 192.0.2.2 5000 700\r\n");
    send_bytes(header + sisp_packet);
    ASSERT_EQ(read_header(), header_wait::received);
    EXPECT_EQ(length, header.size());
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + long(length)), header);
    EXPECT_EQ(rest(), sisp_packet);
}

TEST_F(proxy_reception_test, the_shortest_header_before_a_tls_hello_takes_not_one_byte_of_it) {
    const bytes hello = {0x16, 0x03, 0x01, 0x00, 0x05, 1, 2, 3, 4, 5};
    for (const bytes &header : {text("PROXY UNKNOWN\r\n"), v2_header(0, 0, {})}) {
        send_bytes(header + hello);
        ASSERT_EQ(read_header(), header_wait::received);
        EXPECT_EQ(length, header.size());
        EXPECT_EQ(waiting(), int(hello.size()));
        std::vector<uint8_t> drained(hello.size());
        ASSERT_EQ(read(server_end(), drained.data(), drained.size()), ssize_t(hello.size()));
    }
}

TEST_F(proxy_reception_test, a_header_in_pieces_is_taken_piece_by_piece_until_whole) {
    bytes block(12 + 2000, 0);
    block[0] = 10, block[3] = 9;
    block[12] = 0x04; // a TLV the server skips: type, length, value
    block[13] = uint8_t((2000 - 3) >> 8);
    block[14] = uint8_t((2000 - 3) & 0xFF);
    const bytes header = v2_header(1, 0x11, block);
    const bytes whole = header + sisp_packet;
    // Each piece goes once the reader has taken everything before it: the reader must take
    // what belongs to the header and wait for the rest, never for bytes it already has.
    const std::vector<std::size_t> cuts = {1, 11, 13, 16, 17, 500, header.size() - 1, whole.size()};
    writer = std::thread([this, whole, cuts] {
        std::size_t sent = 0;
        for (std::size_t cut : cuts) {
            if (!tvn_test::wait_until([&] { return waiting() == 0; }, 5s)) return;
            if (write(ends[1], whole.data() + sent, cut - sent) != ssize_t(cut - sent)) return;
            sent = cut;
        }
    });
    ASSERT_EQ(read_header(), header_wait::received);
    writer.join();
    EXPECT_EQ(length, header.size());
    EXPECT_EQ(rest(), sisp_packet);
}

TEST_F(proxy_reception_test, the_largest_header_the_protocol_allows_is_read_whole) {
    const bytes header = v2_header(0, 0, bytes(65535, 0xAB));
    const bytes whole = header + sisp_packet;
    writer = std::thread([this, whole] {
        for (std::size_t sent = 0; sent < whole.size();) {
            const ssize_t put = write(ends[1], whole.data() + sent, whole.size() - sent);
            if (put <= 0) return;
            sent += std::size_t(put);
        }
    });
    ASSERT_EQ(read_header(), header_wait::received);
    writer.join();
    EXPECT_EQ(length, PROXY_V2_MAX_LENGTH);
    EXPECT_EQ(rest(), sisp_packet);
}

TEST_F(proxy_reception_test, a_sisp_packet_where_the_header_belongs_is_malformed) {
    send_bytes(sisp_packet);
    EXPECT_EQ(read_header(), header_wait::malformed);
    ASSERT_NE(fault, nullptr);
    EXPECT_STREQ(fault, "no PROXY signature");
}

TEST_F(proxy_reception_test, a_peer_that_closes_in_the_middle_of_the_header_ends_the_wait) {
    send_bytes(text("PROXY TCP4 192.0.2.1 "));
    shutdown(ends[1], SHUT_WR);
    EXPECT_EQ(read_header(), header_wait::closed);
}

TEST_F(proxy_reception_test, silence_ends_at_the_deadline) {
    send_bytes(text("PROXY TCP4"));
    const int64_t started = monotonic_ms();
    EXPECT_EQ(read_header(300), header_wait::timed_out);
    EXPECT_GE(monotonic_ms() - started, 290);
    EXPECT_LT(monotonic_ms() - started, 2500);
}

TEST_F(proxy_reception_test, a_stopping_server_ends_the_wait) {
    area.running = 0;
    EXPECT_EQ(read_header(), header_wait::stopping);
}

// take_proxy_header on a worker's hand-over record.
class proxy_verdict_test : public proxy_reception_test {
protected:
    void SetUp() override {
        proxy_reception_test::SetUp();
        conf.keepalive_timeout = 120;
        conf.login_grace_time = 60;
        ASSERT_TRUE(parse_balancer("10.0.0.0/24", &conf.balancers[0]));
        conf.balancer_count = 1;
        info.socket = server_end();
        info.server_conf = &conf;
        info.accepted_at = monotonic_ms();
        peer_is("10.0.0.5");
    }
    void peer_is(const char *address) {
        auto &ipv4 = reinterpret_cast<sockaddr_in &>(info.client_addr);
        info.client_addr = sockaddr_storage{};
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(40000);
        inet_pton(AF_INET, address, &ipv4.sin_addr);
    }
    std::string client() const {
        char printed[INET6_ADDRSTRLEN] = "?";
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(info.client_addr);
        if (info.client_addr.ss_family == AF_INET)
            inet_ntop(AF_INET, &ipv4.sin_addr, printed, sizeof printed);
        if (info.client_addr.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(info.client_addr).sin6_addr,
                      printed, sizeof printed);
        return printed;
    }

    tvn_server_conf conf{};
    tvn_conn_info info{};
};

TEST_F(proxy_verdict_test, a_header_that_names_the_client_makes_it_the_connections_client) {
    send_bytes(text("PROXY TCP6 2001:db8::7 2001:db8::1 5000 700\r\n") + sisp_packet);
    const proxy_verdict verdict = take_proxy_header(&info);
    EXPECT_EQ(verdict.refusal, nullptr);
    EXPECT_FALSE(verdict.balancer_own);
    EXPECT_TRUE(info.proxied);
    EXPECT_EQ(client(), "2001:db8::7");
    EXPECT_EQ(rest(), sisp_packet);
}

TEST_F(proxy_verdict_test, the_balancers_own_connection_keeps_the_balancers_address) {
    send_bytes(v2_header(0, 0, {}));
    const proxy_verdict verdict = take_proxy_header(&info);
    EXPECT_EQ(verdict.refusal, nullptr);
    EXPECT_TRUE(verdict.balancer_own);
    EXPECT_FALSE(info.proxied);
    EXPECT_EQ(client(), "10.0.0.5");
}

TEST_F(proxy_verdict_test, an_unknown_client_keeps_the_connections_own_endpoints) {
    send_bytes(text("PROXY UNKNOWN\r\n"));
    const proxy_verdict verdict = take_proxy_header(&info);
    EXPECT_EQ(verdict.refusal, nullptr);
    EXPECT_FALSE(verdict.balancer_own);
    EXPECT_FALSE(info.proxied);
    EXPECT_EQ(client(), "10.0.0.5");
}

TEST_F(proxy_verdict_test, a_peer_outside_the_list_is_refused_before_a_byte_is_read) {
    peer_is("10.0.1.5");
    send_bytes(text("PROXY TCP4 192.0.2.1 192.0.2.2 5000 700\r\n"));
    const proxy_verdict verdict = take_proxy_header(&info);
    ASSERT_NE(verdict.refusal, nullptr);
    EXPECT_STREQ(verdict.refusal, " Connection from an address not in ProxyProtocol");
    EXPECT_EQ(client(), "10.0.1.5");
    EXPECT_EQ(waiting(), 41);
}

TEST_F(proxy_verdict_test, every_failed_wait_has_its_journal_message) {
    send_bytes(text("PROXY TCP4 192.0.2.1 192.0.2.2 5000 0700\r\n"));
    proxy_verdict verdict = take_proxy_header(&info);
    ASSERT_NE(verdict.refusal, nullptr);
    EXPECT_STREQ(verdict.refusal, " Bad PROXY header: bad destination port");
    EXPECT_FALSE(info.proxied);
    EXPECT_EQ(client(), "10.0.0.5");

    rest(); // the malformed line is left behind, and then the peer has closed
    verdict = take_proxy_header(&info);
    ASSERT_NE(verdict.refusal, nullptr);
    EXPECT_STREQ(verdict.refusal, " Closed before its PROXY header");
}

TEST_F(proxy_verdict_test, the_login_grace_time_counts_from_the_accept) {
    conf.login_grace_time = 1;
    info.accepted_at = monotonic_ms() - 1000;
    const proxy_verdict verdict = take_proxy_header(&info);
    ASSERT_NE(verdict.refusal, nullptr);
    EXPECT_STREQ(verdict.refusal, " No PROXY header in time");
}

} // namespace
