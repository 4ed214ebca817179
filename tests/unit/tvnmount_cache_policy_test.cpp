// The server's cache hint, read from the CONNECT flags, and the user's overrides.
#include <gtest/gtest.h>

#include "cache_policy.h"

namespace {

using namespace std::chrono_literals;
using namespace tvnmount;

TEST(tvnmount_cache_policy, the_level_is_bit_twelve_minus_the_level) {
    EXPECT_EQ(suggested_cache_level(0x3040), 0); // the server's default
    EXPECT_EQ(suggested_cache_level(0x2140), 4);
    EXPECT_EQ(suggested_cache_level(0x2440), 2);
    EXPECT_EQ(suggested_cache_level(0x2040), std::nullopt); // no level bit
    EXPECT_EQ(suggested_cache_level(0x2540), std::nullopt); // two of them
}

TEST(tvnmount_cache_policy, higher_levels_trust_longer) {
    const milliseconds expected[] = {1s, 5s, 30s, 120s, 300s};
    for (int level = 0; level <= 4; ++level) {
        const cache_times times = times_for_level(level);
        EXPECT_EQ(times.attributes, expected[level]) << level;
        EXPECT_EQ(times.entries, expected[level]) << level;
        EXPECT_TRUE(times.keep_page_cache);
    }
}

TEST(tvnmount_cache_policy, the_users_choices_win_over_the_servers_level) {
    cache_overrides overrides;
    EXPECT_EQ(choose_cache_times(3, overrides).attributes, 120s);
    EXPECT_EQ(choose_cache_times(std::nullopt, overrides).attributes, 1s);
    overrides.level = 1;
    EXPECT_EQ(choose_cache_times(3, overrides).attributes, 5s);
    overrides.attributes = 0ms;
    overrides.entries = 2500ms;
    overrides.keep_page_cache = false;
    const cache_times chosen = choose_cache_times(4, overrides);
    EXPECT_EQ(chosen.attributes, 0ms);
    EXPECT_EQ(chosen.entries, 2500ms);
    EXPECT_FALSE(chosen.keep_page_cache);
}

} // namespace
