// Gathering small writes into one range.
#include <gtest/gtest.h>

#include <string>

#include "write_back.h"

namespace {

using tvnmount::write_back;

std::span<const std::uint8_t> bytes_of(const std::string &text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

std::string text_of(const write_back &pending) {
    return {reinterpret_cast<const char *>(pending.data().data()), pending.data().size()};
}

TEST(tvnmount_write_back, writes_that_follow_each_other_gather_into_one_range) {
    write_back pending(10);
    EXPECT_TRUE(pending.absorb(100, bytes_of("abc")));
    EXPECT_TRUE(pending.absorb(103, bytes_of("def")));
    EXPECT_EQ(pending.start(), 100u);
    EXPECT_EQ(pending.end(), 106u);
    EXPECT_EQ(text_of(pending), "abcdef");
    EXPECT_FALSE(pending.full());
}

TEST(tvnmount_write_back, a_write_inside_the_range_overwrites_it) {
    write_back pending(10);
    ASSERT_TRUE(pending.absorb(0, bytes_of("abcdef")));
    EXPECT_TRUE(pending.absorb(2, bytes_of("XYZWV")));
    EXPECT_EQ(text_of(pending), "abXYZWV");
}

TEST(tvnmount_write_back, gaps_earlier_offsets_and_overflow_are_refused) {
    write_back pending(10);
    ASSERT_TRUE(pending.absorb(100, bytes_of("abc")));
    EXPECT_FALSE(pending.absorb(104, bytes_of("x"))); // a gap
    EXPECT_FALSE(pending.absorb(99, bytes_of("x")));  // before the range
    EXPECT_FALSE(pending.absorb(103, bytes_of("12345678"))); // past the capacity
    EXPECT_EQ(text_of(pending), "abc");
    EXPECT_TRUE(pending.absorb(103, bytes_of("1234567")));
    EXPECT_TRUE(pending.full());
}

TEST(tvnmount_write_back, a_write_larger_than_the_capacity_is_never_taken) {
    write_back pending(4);
    EXPECT_FALSE(pending.absorb(0, bytes_of("12345")));
    EXPECT_TRUE(pending.empty());
    write_back none(0);
    EXPECT_FALSE(none.absorb(0, bytes_of("1")));
    EXPECT_FALSE(none.full());
}

TEST(tvnmount_write_back, after_clearing_any_offset_starts_a_new_range) {
    write_back pending(10);
    ASSERT_TRUE(pending.absorb(5, bytes_of("abc")));
    pending.clear();
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(pending.absorb(0, bytes_of("z")));
    EXPECT_EQ(pending.start(), 0u);
    EXPECT_EQ(text_of(pending), "z");
}

} // namespace
