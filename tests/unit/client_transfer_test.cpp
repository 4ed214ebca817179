// Pipelined transfers of the client library against a scripted peer: the data in order, the
// window's bound, the first failed answer named and the connection drained after it, and no
// deadlock when the answers outgrow the socket buffers.
#include "tolvane/transfer.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "scripted_peer.h"
#include "tolvane/packet.h"

namespace {

using namespace std::chrono_literals;
using namespace tvn_client;
using tvn_test::peer_answer;
using tvn_test::peer_request;
using tvn_test::scripted_peer;
using byte_vector = std::vector<std::uint8_t>;

constexpr std::uint32_t chunk = 500000;

byte_vector pattern(std::size_t size, unsigned seed = 1) {
    byte_vector out(size);
    std::uint32_t state = 0x9e3779b9u * seed;
    for (auto &byte : out) {
        state = state * 1664525u + 1013904223u;
        byte = std::uint8_t(state >> 24);
    }
    return out;
}

// A socket pair: the client's end as a connection, the peer's end for a scripted_peer.
std::pair<connection, int> linked_pair(int buffer_bytes = 0) {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    if (buffer_bytes > 0)
        for (int fd : ends)
            for (int option : {SO_SNDBUF, SO_RCVBUF})
                setsockopt(fd, SOL_SOCKET, option, &buffer_bytes, sizeof buffer_bytes);
    return {connection(ends[0]), ends[1]};
}

// The peer's side of a file: READs answered from `file`, CLOSE answered OK.
std::optional<byte_vector> serve_file(const byte_vector &file, const peer_request &request) {
    if (request.method == CLOSE) return peer_answer(CLOSE, OK);
    if (request.method != READ) return std::nullopt;
    const std::size_t from = std::min<std::size_t>(std::size_t(request.position), file.size());
    const std::size_t count = std::min<std::size_t>(std::size_t(request.length), file.size() - from);
    return peer_answer(READ, OK, 0, std::span(file.data() + from, count));
}

// WRITEs counted in full, CLOSE answered OK.
std::optional<byte_vector> take_writes(const peer_request &request) {
    if (request.method == CLOSE) return peer_answer(CLOSE, OK);
    if (request.method != WRITE) return std::nullopt;
    return peer_answer(WRITE, OK, std::uint32_t(request.length));
}

// After a transfer: the next request is answered as its own, so nothing of the transfer
// was left in the stream.
void expect_usable(connection &link) {
    answer reply;
    ASSERT_EQ(link.request(close_request(7).build(), reply, 5s), read_result::answer_read);
    EXPECT_EQ(reply.method(), CLOSE);
    EXPECT_EQ(reply.status(), OK);
}

transfer_settings window_of(std::size_t window, milliseconds timeout = 10s) {
    transfer_settings settings;
    settings.window = window;
    settings.timeout = timeout;
    return settings;
}

struct received_data {
    byte_vector bytes;
    data_sink sink() {
        return [this](std::span<const std::uint8_t> data) {
            bytes.insert(bytes.end(), data.begin(), data.end());
            return true;
        };
    }
};

TEST(client_transfer, a_read_delivers_the_file_in_order_with_the_window_full) {
    const byte_vector file = pattern(5300000);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) { return serve_file(file, r); });
    received_data got;
    const transfer_report report =
        read_file(link, 1, {0, file.size(), std::nullopt}, got.sink(), window_of(4 * chunk));
    EXPECT_EQ(report.outcome, transfer_outcome::complete);
    EXPECT_EQ(report.end, file.size());
    EXPECT_EQ(got.bytes, file);
    EXPECT_EQ(report.requests, 11u); // ten whole chunks, then the short one that ends it
    EXPECT_EQ(report.peak_requests, 4u);
    EXPECT_LE(report.peak_bytes, 4u * chunk);
    expect_usable(link);
}

TEST(client_transfer, a_read_into_a_buffer_lands_every_answer_in_place) {
    const byte_vector file = pattern(1300000, 5);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) { return serve_file(file, r); });
    byte_vector buffer(1200000, 0xee);
    std::size_t in_place = 0, delivered = 0;
    read_range range{100000, file.size(), 100000 + buffer.size()};
    range.into = buffer;
    const transfer_report report = read_file(
        link, 1, range,
        [&](std::span<const std::uint8_t> data) {
            in_place += data.data() == buffer.data() + delivered;
            delivered += data.size();
            return true;
        },
        window_of(4 * chunk));
    EXPECT_EQ(report.outcome, transfer_outcome::complete);
    EXPECT_EQ(delivered, buffer.size());
    EXPECT_EQ(in_place, 3u); // 500000, 500000 and the last 200000, each where it belongs
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), file.begin() + 100000));
    // A range past the end: the short answer lands in place too, the rest stays untouched.
    byte_vector tail(400000, 0xee);
    read_range past{1100000, file.size(), std::nullopt};
    past.into = tail;
    delivered = 0;
    const transfer_report ended = read_file(
        link, 1, past,
        [&](std::span<const std::uint8_t> data) {
            EXPECT_EQ(data.data(), tail.data() + delivered);
            delivered += data.size();
            return true;
        },
        window_of(4 * chunk));
    EXPECT_EQ(ended.outcome, transfer_outcome::complete);
    EXPECT_EQ(delivered, 200000u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 200000, file.begin() + 1100000));
    EXPECT_EQ(tail[200000], 0xee);
    expect_usable(link);
}

TEST(client_transfer, a_near_server_gets_a_few_requests_ahead_not_the_whole_window) {
    const byte_vector file = pattern(10000000, 11);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) { return serve_file(file, r); });
    received_data got;
    transfer_settings settings = window_of(16 * chunk);
    settings.round_trip = 100us; // as the OPEN before it took
    const transfer_report report =
        read_file(link, 1, {0, file.size(), std::nullopt}, got.sink(), settings);
    EXPECT_EQ(report.outcome, transfer_outcome::complete);
    EXPECT_EQ(got.bytes, file);
    EXPECT_GE(report.peak_requests, 2u);
    EXPECT_LE(report.peak_requests, 4u);
}

TEST(client_transfer, how_far_reads_run_ahead_depends_on_the_size_and_the_limit) {
    const byte_vector file = pattern(2000000, 2);
    struct row {
        const char *what;
        read_range range;
        std::size_t window;
        std::uint64_t requests, peak, end;
    };
    const std::vector<row> rows{
        // A whole number of chunks, all asked at once; one more READ then finds the end.
        {"known size", {0, 2000000, std::nullopt}, 16u << 20, 5, 4, 2000000},
        // Nothing announced: one at a time, as when the window is one chunk.
        {"unknown size", {0, 0, std::nullopt}, 16u << 20, 5, 1, 2000000},
        {"window of one chunk", {0, 2000000, std::nullopt}, chunk, 5, 1, 2000000},
        {"limit", {100, 2000000, 1200100}, 16u << 20, 3, 3, 1200100},
        {"resumed", {1900000, 2000000, std::nullopt}, 16u << 20, 1, 1, 2000000},
        {"small window", {0, 2000000, std::nullopt}, 300000, 7, 1, 2000000},
    };
    for (const row &one : rows) {
        auto [link, peer_end] = linked_pair();
        scripted_peer peer(peer_end, [&](const peer_request &r) { return serve_file(file, r); });
        received_data got;
        const transfer_report report =
            read_file(link, 1, one.range, got.sink(), window_of(one.window));
        EXPECT_EQ(report.outcome, transfer_outcome::complete) << one.what;
        EXPECT_EQ(report.requests, one.requests) << one.what;
        EXPECT_EQ(report.peak_requests, one.peak) << one.what;
        EXPECT_EQ(report.end, one.end) << one.what;
        EXPECT_TRUE(std::equal(got.bytes.begin(), got.bytes.end(),
                               file.begin() + std::ptrdiff_t(one.range.start)))
            << one.what;
        EXPECT_EQ(got.bytes.size(), one.end - one.range.start) << one.what;
    }
}

TEST(client_transfer, the_first_refused_read_stops_the_transfer_and_the_rest_are_drained) {
    const byte_vector file = pattern(8000000, 3);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) -> std::optional<byte_vector> {
        if (r.method == READ && r.number >= 3) return peer_answer(READ, ACCESS_DENIED);
        return serve_file(file, r);
    });
    received_data got;
    const transfer_report report =
        read_file(link, 1, {0, file.size(), std::nullopt}, got.sink(), window_of(6 * chunk));
    EXPECT_EQ(report.outcome, transfer_outcome::refused);
    EXPECT_EQ(report.failed_request, 3u);
    EXPECT_EQ(report.failed_offset, 3u * chunk);
    EXPECT_EQ(report.status, ACCESS_DENIED);
    EXPECT_EQ(report.end, 3u * chunk);
    EXPECT_EQ(got.bytes, byte_vector(file.begin(), file.begin() + 3 * chunk));
    expect_usable(link);
}

TEST(client_transfer, a_sink_that_has_had_enough_stops_the_transfer_after_draining) {
    const byte_vector file = pattern(6000000, 4);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) { return serve_file(file, r); });
    int calls = 0;
    const transfer_report report = read_file(
        link, 1, {0, file.size(), std::nullopt},
        [&](std::span<const std::uint8_t>) { return ++calls < 2; }, window_of(8 * chunk));
    EXPECT_EQ(report.outcome, transfer_outcome::stopped);
    EXPECT_EQ(report.end, chunk); // the refused data do not count
    EXPECT_EQ(calls, 2);
    expect_usable(link);
}

TEST(client_transfer, writes_go_without_waiting_and_every_count_is_checked) {
    const byte_vector data = pattern(3100000, 5);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, take_writes);
    std::vector<std::uint64_t> progress;
    transfer_settings settings = window_of(3 * chunk);
    settings.progress = [&](std::uint64_t end) { progress.push_back(end); };
    const transfer_report report = write_file(
        link, 9, 1000,
        [&](std::uint64_t offset, std::size_t most) {
            const std::size_t from = std::size_t(offset - 1000);
            return std::optional(std::span(data.data() + from, std::min(most, data.size() - from)));
        },
        settings);
    EXPECT_EQ(report.outcome, transfer_outcome::complete);
    EXPECT_EQ(report.end, 1000 + data.size());
    EXPECT_LE(report.peak_requests, 3u);
    EXPECT_EQ(progress.back(), 1000 + data.size());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    expect_usable(link);
    link.close();
    peer.join();
    byte_vector written;
    for (const peer_request &r : peer.requests()) {
        if (r.method != WRITE) continue;
        EXPECT_EQ(r.handle, 9u);
        EXPECT_EQ(std::uint64_t(r.position), 1000 + written.size());
        EXPECT_EQ(std::size_t(r.length), r.data.size());
        written.insert(written.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(written, data);
}

TEST(client_transfer, a_refused_or_short_write_names_its_request_and_offset) {
    struct row {
        const char *what;
        byte_vector answer_to_the_third;
        transfer_outcome outcome;
        std::uint8_t status;
        std::uint32_t written;
    };
    const std::vector<row> rows{
        {"refused", peer_answer(WRITE, DISK_FULL), transfer_outcome::refused, DISK_FULL, 0},
        {"short", peer_answer(WRITE, OK, 1234), transfer_outcome::short_write, OK, 1234},
    };
    const byte_vector data = pattern(5000000, 6);
    for (const row &one : rows) {
        auto [link, peer_end] = linked_pair();
        scripted_peer peer(peer_end, [&](const peer_request &r) -> std::optional<byte_vector> {
            if (r.method == WRITE && r.number == 2) return one.answer_to_the_third;
            return take_writes(r);
        });
        const transfer_report report = write_file(
            link, 1, 0,
            [&](std::uint64_t offset, std::size_t most) {
                return std::optional(
                    std::span(data.data() + offset, std::min<std::size_t>(most, data.size() - offset)));
            },
            window_of(5 * chunk));
        EXPECT_EQ(report.outcome, one.outcome) << one.what;
        EXPECT_EQ(report.failed_request, 2u) << one.what;
        EXPECT_EQ(report.failed_offset, 2u * chunk) << one.what;
        EXPECT_EQ(report.failed_length, chunk) << one.what;
        EXPECT_EQ(report.status, one.status) << one.what;
        EXPECT_EQ(report.written, one.written) << one.what;
        EXPECT_EQ(report.end, 2u * chunk) << one.what;
        EXPECT_LT(report.requests, 10u) << one.what; // it stopped sending
        expect_usable(link);
    }
}

TEST(client_transfer, a_source_that_stops_ends_the_transfer_with_what_was_confirmed) {
    const byte_vector data = pattern(chunk, 7);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, take_writes);
    int calls = 0;
    const transfer_report report = write_file(
        link, 1, 0,
        [&](std::uint64_t, std::size_t most) -> std::optional<std::span<const std::uint8_t>> {
            if (++calls > 3) return std::nullopt;
            return std::span(data.data(), most);
        },
        window_of(16u << 20));
    EXPECT_EQ(report.outcome, transfer_outcome::stopped);
    EXPECT_EQ(report.end, 3u * chunk);
    expect_usable(link);
}

TEST(client_transfer, small_writes_far_beyond_the_socket_buffers_never_deadlock) {
    // The window lets 65536 WRITEs of 64 bytes go unanswered: their answers alone overflow
    // the buffers, so a sender that did not read while sending would wait for ever on a peer
    // that waits too.
    const byte_vector data = pattern(2u << 20, 8);
    auto [link, peer_end] = linked_pair(4096);
    scripted_peer peer(peer_end, take_writes);
    transfer_settings settings = window_of(4u << 20, 20s);
    settings.chunk = 64;
    const transfer_report report = write_file(
        link, 1, 0,
        [&](std::uint64_t offset, std::size_t most) {
            return std::optional(
                std::span(data.data() + offset, std::min<std::size_t>(most, data.size() - offset)));
        },
        settings);
    EXPECT_EQ(report.outcome, transfer_outcome::complete);
    EXPECT_EQ(report.end, data.size());
    EXPECT_EQ(report.requests, data.size() / 64);
    EXPECT_GT(report.peak_requests, 1u);
}

TEST(client_transfer, a_peer_that_closes_mid_transfer_ends_it_closed) {
    const byte_vector file = pattern(5000000, 9);
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) -> std::optional<byte_vector> {
        if (r.number == 2) return std::nullopt;
        return serve_file(file, r);
    });
    received_data got;
    const transfer_report report =
        read_file(link, 1, {0, file.size(), std::nullopt}, got.sink(), window_of(4 * chunk));
    EXPECT_EQ(report.outcome, transfer_outcome::closed);
    EXPECT_LE(report.end, 2u * chunk);
}

TEST(client_transfer, a_silent_peer_ends_the_transfer_timed_out) {
    const byte_vector file = pattern(3000000, 10);
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    auto [link, peer_end] = linked_pair();
    scripted_peer peer(peer_end, [&](const peer_request &r) {
        if (r.number == 1) {
            std::unique_lock held(lock);
            changed.wait_for(held, 10s, [&] { return released; });
        }
        return serve_file(file, r);
    });
    received_data got;
    const auto started = std::chrono::steady_clock::now();
    const transfer_report report = read_file(link, 1, {0, file.size(), std::nullopt}, got.sink(),
                                             window_of(4 * chunk, 300ms));
    const auto waited = std::chrono::steady_clock::now() - started;
    {
        const std::lock_guard held(lock);
        released = true;
    }
    changed.notify_all();
    EXPECT_EQ(report.outcome, transfer_outcome::timed_out);
    EXPECT_EQ(report.end, chunk);
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 5s);
    link.close();
}

TEST(client_transfer, data_past_the_largest_position_end_out_of_range) {
    auto [link, peer_end] = linked_pair();
    const byte_vector zeros(chunk);
    scripted_peer peer(peer_end, [&](const peer_request &r) -> std::optional<byte_vector> {
        if (r.method == READ) return peer_answer(READ, OK, 0, std::span(zeros.data(), std::size_t(r.length)));
        return take_writes(r);
    });
    received_data got;
    const transfer_report read = read_file(link, 1, {max_position - 100, max_position + chunk, std::nullopt},
                                           got.sink(), window_of(16u << 20));
    EXPECT_EQ(read.outcome, transfer_outcome::out_of_range);
    EXPECT_EQ(read.requests, 1u);
    EXPECT_EQ(got.bytes.size(), chunk);

    const transfer_report written = write_file(
        link, 1, max_position - 10,
        [&](std::uint64_t, std::size_t) { return std::optional(std::span(zeros.data(), 100)); },
        window_of(16u << 20));
    EXPECT_EQ(written.outcome, transfer_outcome::out_of_range);
    EXPECT_EQ(written.requests, 0u);
    EXPECT_EQ(written.end, max_position - 10);
    expect_usable(link);
}

} // namespace
