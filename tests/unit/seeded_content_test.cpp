// The seeded contents and checksum that the soak run and the fault tests check files with:
// any range can be made again alone, and the checksum does not depend on how bytes were cut.
#include <gtest/gtest.h>

#include "seeded_content.h"

namespace {

using namespace tvn_test;

TEST(seeded_content, a_range_made_alone_equals_the_same_range_of_the_whole) {
    const auto whole = make_content(42, 4099);
    for (const auto &[offset, size] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 1}, {1, 7}, {3, 8}, {7, 9}, {8, 8}, {1000, 3099}, {4098, 1}}) {
        std::vector<std::uint8_t> part(size);
        fill_content(42, offset, part);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + std::ptrdiff_t(offset)))
            << offset << "+" << size;
    }
}

TEST(seeded_content, seeds_and_neighbouring_words_differ) {
    EXPECT_NE(make_content(1, 64), make_content(2, 64));
    const auto bytes = make_content(7, 16);
    EXPECT_FALSE(std::equal(bytes.begin(), bytes.begin() + 8, bytes.begin() + 8));
}

TEST(seeded_content, the_checksum_is_the_same_however_the_bytes_are_cut) {
    const auto bytes = make_content(9, 100003);
    const std::uint64_t whole = checksum_of_content(9, bytes.size());
    for (std::size_t piece : {1u, 3u, 8u, 13u, 4096u, 65537u, 100003u}) {
        content_checksum sum;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            sum.update({bytes.data() + at, std::min(piece, bytes.size() - at)});
        EXPECT_EQ(sum.value(), whole) << "pieces of " << piece;
        EXPECT_EQ(sum.length(), bytes.size());
    }
}

TEST(seeded_content, the_checksum_sees_a_changed_byte_and_the_length) {
    auto bytes = make_content(5, 1000);
    content_checksum original;
    original.update(bytes);
    bytes[517] ^= 1;
    content_checksum changed;
    changed.update(bytes);
    EXPECT_NE(changed.value(), original.value());
    // Trailing zero bytes count: the length is part of the sum.
    std::vector<std::uint8_t> shorter(7, 0), longer(8, 0);
    content_checksum a, b;
    a.update(shorter);
    b.update(longer);
    EXPECT_NE(a.value(), b.value());
}

} // namespace
