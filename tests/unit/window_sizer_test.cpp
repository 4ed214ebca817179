// The aim of a transfer's window: the whole window until answers show the link, then twice
// the rate times the shortest round trip, within the floor and the ceiling.
#include "../../client/src/window_sizer.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using tvn_client::window_sizer;
using clock_type = window_sizer::clock;

constexpr std::uint64_t chunk = 500000;
constexpr std::uint64_t ceiling = 32u << 20;

// Answers of one chunk each, `gap` apart, each `latency` after its request left; the aim
// after `count` of them.
std::uint64_t aim_after(window_sizer &sizer, int count, clock_type::duration gap,
                        clock_type::duration latency) {
    clock_type::time_point now{};
    for (int i = 0; i < count; ++i) {
        now += gap;
        sizer.answered(latency, chunk, now);
    }
    return sizer.target();
}

TEST(window_sizer, it_starts_with_the_whole_window) {
    window_sizer sizer(ceiling, 2 * chunk);
    EXPECT_EQ(sizer.target(), ceiling);
    sizer.answered(1ms, chunk, clock_type::time_point{} + 1ms);
    EXPECT_EQ(sizer.target(), ceiling); // one answer shows no rate
}

TEST(window_sizer, it_aims_at_twice_the_rate_times_the_shortest_round_trip) {
    struct row {
        const char *what;
        clock_type::duration gap, latency;
        std::uint64_t expected;
    };
    const std::vector<row> rows{
        // A near server: 2 GB/s, answered within 0.3 ms: 1.2 MB are enough.
        {"loopback", 250us, 300us, 1'200'000},
        // 40 ms away at 600 MB/s: 48 MB would be, more than the window.
        {"long fat link", std::chrono::nanoseconds(833'333), 40ms, ceiling},
        // A slow link near by, 10 MB/s answered within 20 ms: the floor of two requests.
        {"slow", 50ms, 20ms, 2 * chunk},
        // 10 ms away at 100 MB/s: 2 MB.
        {"between", 5ms, 10ms, 2'000'000},
    };
    for (const row &one : rows) {
        window_sizer sizer(ceiling, 2 * chunk);
        const double got = double(aim_after(sizer, 200, one.gap, one.latency));
        EXPECT_NEAR(got, double(one.expected), double(one.expected) * 0.01) << one.what;
    }
}

TEST(window_sizer, the_shortest_round_trip_counts_not_the_queued_ones) {
    window_sizer sizer(ceiling, 2 * chunk);
    clock_type::time_point now{};
    sizer.answered(300us, chunk, now);
    // Later answers queued behind others take ten times as long; the link is still near.
    for (int i = 0; i < 100; ++i) {
        now += 250us;
        sizer.answered(3ms, chunk, now);
    }
    EXPECT_EQ(sizer.shortest(), 300us);
    EXPECT_NEAR(double(sizer.target()), 1'200'000.0, 12'000.0);
}

TEST(window_sizer, a_burst_read_at_once_is_no_rate) {
    window_sizer sizer(ceiling, 2 * chunk);
    const clock_type::time_point now = clock_type::time_point{} + 1s;
    for (int i = 0; i < 50; ++i) sizer.answered(300us, chunk, now);
    EXPECT_EQ(sizer.target(), ceiling);
}

TEST(window_sizer, a_window_held_short_on_a_distant_link_doubles_every_round_trip) {
    // Window-limited 40 ms away: the rate is what the window allows, and the aim twice it.
    window_sizer sizer(ceiling, 2 * chunk);
    clock_type::time_point now{};
    sizer.answered(40ms, chunk, now);
    std::uint64_t window = 4 * chunk;
    for (int round = 0; round < 4; ++round) {
        // One window's worth of answers over one round trip.
        const auto answers = int(window / chunk);
        for (int i = 0; i < answers; ++i) {
            now += std::chrono::microseconds(40ms) / answers;
            sizer.answered(40ms, chunk, now);
        }
        EXPECT_NEAR(double(sizer.target()), 2.0 * double(window), 2.0 * double(window) * 0.01)
            << "round " << round;
        window = sizer.target();
    }
}

TEST(window_sizer, a_near_server_starts_at_the_floor_and_a_distant_link_grows_from_it) {
    window_sizer sizer(ceiling, 2 * chunk, true);
    EXPECT_EQ(sizer.target(), 2 * chunk);
    // Had it been 40 ms away after all, the answers show it: the aim doubles each round trip.
    clock_type::time_point now{};
    sizer.answered(40ms, chunk, now);
    for (int i = 0; i < 2; ++i) {
        now += 20ms;
        sizer.answered(40ms, chunk, now);
    }
    EXPECT_EQ(sizer.target(), 4 * chunk);
}

TEST(window_sizer, a_floor_above_the_ceiling_is_the_ceiling) {
    window_sizer sizer(chunk, 2 * chunk);
    EXPECT_EQ(aim_after(sizer, 100, 50ms, 60ms), chunk);
}

} // namespace
