// The window of a pipelined transfer: which requests may go, in what order answers are
// matched, and the sizes requests take from the window and the chunk.
#include "../../client/src/request_window.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tvn_client::request_size;
using tvn_client::request_window;

TEST(request_window, requests_go_while_their_bytes_fit_and_one_always_goes) {
    request_window window(1000);
    EXPECT_TRUE(window.has_room(5000)); // none in flight: even one larger than the window
    window.add(0, 400);
    EXPECT_TRUE(window.has_room(600));
    EXPECT_FALSE(window.has_room(601));
    window.add(400, 600);
    EXPECT_FALSE(window.has_room(1));
    EXPECT_EQ(window.count(), 2u);
    EXPECT_EQ(window.bytes(), 1000u);
    window.answered();
    EXPECT_TRUE(window.has_room(400));
    EXPECT_FALSE(window.has_room(401));
}

TEST(request_window, a_window_of_nothing_lets_one_request_through_at_a_time) {
    request_window window(0);
    EXPECT_TRUE(window.has_room(1));
    window.add(0, 1);
    EXPECT_FALSE(window.has_room(1));
    window.answered();
    EXPECT_TRUE(window.empty());
    EXPECT_TRUE(window.has_room(1));
}

TEST(request_window, answers_are_matched_to_the_oldest_request_with_its_number) {
    request_window window(10000);
    for (std::uint64_t offset : {0u, 100u, 200u}) window.add(offset, 100);
    std::vector<std::uint64_t> offsets, numbers;
    while (!window.empty()) {
        const auto answered = window.answered();
        offsets.push_back(answered.offset);
        numbers.push_back(answered.number);
    }
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 100, 200}));
    EXPECT_EQ(numbers, (std::vector<std::uint64_t>{0, 1, 2}));
    window.add(300, 100);
    EXPECT_EQ(window.oldest().number, 3u);
    EXPECT_EQ(window.added(), 4u);
}

TEST(request_window, the_peaks_remember_the_most_in_flight_at_once) {
    request_window window(1500);
    window.add(0, 500);
    window.add(500, 500);
    window.add(1000, 500);
    window.answered();
    window.answered();
    window.add(1500, 500);
    EXPECT_EQ(window.peak_count(), 3u);
    EXPECT_EQ(window.peak_bytes(), 1500u);
    EXPECT_EQ(window.bytes(), 1000u);
}

TEST(request_window, a_request_carries_the_chunk_or_the_smaller_window) {
    struct row {
        std::size_t window;
        std::uint32_t chunk;
        std::uint32_t expected;
    };
    for (const row &one : {row{16u << 20, 500000, 500000}, row{500000, 500000, 500000},
                           row{65536, 500000, 65536}, row{0, 500000, 1}, row{16u << 20, 0, 1},
                           row{16u << 20, 4096, 4096}, row{16u << 20, 600000, 500000}})
        EXPECT_EQ(request_size(one.window, one.chunk), one.expected)
            << "window " << one.window << " chunk " << one.chunk;
}

} // namespace
