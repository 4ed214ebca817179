// One direction of the delay relay, on a clock the test moves: bytes and the end come out after
// the delay and in order, close reads share a chunk, and the bound stops reading.
#include "delay_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tvnbench::chunk_pool;
using tvnbench::delay_line;
using tvnbench::relay_clock;

constexpr std::size_t chunk_size = 64;
const relay_clock::time_point t0 = relay_clock::time_point() + 1h;

// Puts the text into the line as one read arriving at `at`.
void arrive(delay_line &line, const std::string &text, relay_clock::time_point at) {
    const auto space = line.space(at);
    ASSERT_GE(space.size(), text.size());
    std::memcpy(space.data(), text.data(), text.size());
    line.arrived(text.size(), at);
}

// Everything due at `at`, as it would be sent.
std::string take_due(delay_line &line, relay_clock::time_point at) {
    std::string out;
    for (auto due = line.due(at); !due.empty(); due = line.due(at)) {
        out.append(reinterpret_cast<const char *>(due.data()), due.size());
        line.sent(due.size());
    }
    return out;
}

struct release_case {
    const char *name;
    relay_clock::duration delay;
    relay_clock::duration looked_after; // since the arrival
    bool due;
};

void PrintTo(const release_case &row, std::ostream *out) { *out << row.name; }

class delay_line_release : public ::testing::TestWithParam<release_case> {};

TEST_P(delay_line_release, bytes_come_out_only_once_the_delay_has_passed) {
    const auto &row = GetParam();
    chunk_pool pool(chunk_size, 4);
    delay_line line(row.delay, 1024, pool);
    arrive(line, "ping", t0);
    EXPECT_EQ(take_due(line, t0 + row.looked_after), row.due ? "ping" : "");
    // What was not due yet is announced for its time; what went out leaves nothing behind.
    EXPECT_EQ(line.next_release(), row.due ? std::nullopt : std::optional(t0 + row.delay));
}

INSTANTIATE_TEST_SUITE_P(rows, delay_line_release,
                         ::testing::Values(release_case{"no_delay", 0ms, 0ms, true},
                                           release_case{"before_the_delay", 20ms, 19999us, false},
                                           release_case{"at_the_delay", 20ms, 20ms, true},
                                           release_case{"after_the_delay", 20ms, 35ms, true},
                                           release_case{"half_of_a_long_delay", 500ms, 250ms,
                                                        false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(delay_line, reads_in_turn_come_out_in_order_each_after_its_own_delay) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(10ms, 1024, pool);
    arrive(line, "one ", t0);
    arrive(line, "two ", t0 + 4ms);
    arrive(line, "three", t0 + 8ms);
    EXPECT_EQ(take_due(line, t0 + 9ms), "");
    EXPECT_EQ(take_due(line, t0 + 10ms), "one ");
    EXPECT_EQ(take_due(line, t0 + 17ms), "two ");
    EXPECT_EQ(take_due(line, t0 + 18ms), "three");
    EXPECT_FALSE(line.next_release());
}

TEST(delay_line, a_partial_send_leaves_the_rest_at_the_head) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(1ms, 1024, pool);
    arrive(line, "abcdef", t0);
    const auto due = line.due(t0 + 1ms);
    ASSERT_EQ(due.size(), 6u);
    line.sent(2);
    EXPECT_EQ(take_due(line, t0 + 1ms), "cdef");
}

TEST(delay_line, reads_close_together_share_a_chunk_and_its_release) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(10ms, 1024, pool);
    arrive(line, "a", t0);
    arrive(line, "b", t0 + delay_line::coalescing / 2);
    EXPECT_EQ(line.held(), chunk_size);
    arrive(line, "c", t0 + delay_line::coalescing * 2);
    EXPECT_EQ(line.held(), 2 * chunk_size);
    EXPECT_EQ(take_due(line, t0 + 10ms), "ab");
    EXPECT_EQ(take_due(line, t0 + 10ms + delay_line::coalescing * 2), "c");
}

TEST(delay_line, the_end_comes_out_after_the_bytes_before_it_and_the_delay) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(10ms, 1024, pool);
    arrive(line, "last words", t0);
    line.end(t0 + 2ms);
    EXPECT_TRUE(line.ended());
    EXPECT_FALSE(line.finished(t0 + 20ms)); // the bytes are still held
    EXPECT_EQ(take_due(line, t0 + 10ms), "last words");
    EXPECT_FALSE(line.finished(t0 + 11ms));
    ASSERT_TRUE(line.next_release());
    EXPECT_EQ(*line.next_release(), t0 + 12ms);
    EXPECT_TRUE(line.finished(t0 + 12ms));
}

TEST(delay_line, a_full_line_offers_no_room_until_bytes_go_out) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(1ms, 3 * chunk_size, pool);
    const std::string whole(chunk_size, 'x');
    for (int i = 0; i < 3; ++i) arrive(line, whole, t0 + std::chrono::milliseconds(i));
    EXPECT_TRUE(line.full());
    EXPECT_TRUE(line.space(t0 + 3ms).empty());
    line.arrived(0, t0 + 3ms);
    EXPECT_EQ(take_due(line, t0 + 1ms), whole);
    EXPECT_FALSE(line.full());
    EXPECT_EQ(line.space(t0 + 3ms).size(), chunk_size);
    line.arrived(0, t0 + 3ms);
}

TEST(delay_line, a_read_that_brought_nothing_gives_its_buffer_back) {
    chunk_pool pool(chunk_size, 4);
    delay_line line(1ms, 1024, pool);
    const auto space = line.space(t0);
    ASSERT_FALSE(space.empty());
    line.arrived(0, t0);
    EXPECT_EQ(line.held(), 0u);
    EXPECT_FALSE(line.next_release());
    EXPECT_EQ(pool.take().get(), space.data());
}

TEST(chunk_pool, a_buffer_given_back_is_taken_again) {
    chunk_pool pool(chunk_size, 1);
    auto first = pool.take();
    const auto *kept = first.get();
    pool.give(std::move(first));
    EXPECT_EQ(pool.take().get(), kept);
}

} // namespace
