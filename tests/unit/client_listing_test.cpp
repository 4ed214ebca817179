// GETDIR bodies as the client library splits them: plain, extended and mixed listings, and
// bodies that end inside an entry.
#include "tolvane/listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tvn_client::parse_listing;
using bytes = std::vector<uint8_t>;

// Builds a body by hand: texts as their bytes, numbers as four little-endian bytes.
struct body_writer {
    bytes data;
    body_writer &text(const std::string &value) {
        data.insert(data.end(), value.begin(), value.end());
        return *this;
    }
    body_writer &nul() {
        data.push_back(0);
        return *this;
    }
    body_writer &u32(uint32_t value) {
        for (int i = 0; i < 4; ++i) data.push_back(uint8_t(value >> (8 * i)));
        return *this;
    }
};

TEST(client_listing, an_empty_body_is_an_empty_listing) {
    const auto entries = parse_listing({}, false);
    ASSERT_TRUE(entries.has_value());
    EXPECT_TRUE(entries->empty());
}

TEST(client_listing, plain_file_is_name_nul_mtime) {
    const bytes body = body_writer{}.text("a.txt").nul().u32(0x5f5e1000).data;
    ASSERT_EQ(body.size(), 10u);
    const auto entries = parse_listing(body, false);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->at(0).name, "a.txt");
    EXPECT_FALSE(entries->at(0).is_dir);
    EXPECT_EQ(entries->at(0).size, 0u);
    EXPECT_EQ(entries->at(0).mtime, 0x5f5e1000u);
}

TEST(client_listing, extended_file_is_name_nul_size_mtime) {
    const bytes body = body_writer{}.text("a.txt").nul().u32(5).u32(1700000000).data;
    ASSERT_EQ(body.size(), 14u);
    const auto entries = parse_listing(body, true);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->at(0).name, "a.txt");
    EXPECT_EQ(entries->at(0).size, 5u);
    EXPECT_EQ(entries->at(0).mtime, 1700000000u);
}

TEST(client_listing, plain_directory_has_no_numbers_and_loses_its_slash) {
    const bytes body = body_writer{}.text("docs/").nul().text("f").nul().u32(9).data;
    const auto entries = parse_listing(body, false);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ(entries->at(0).name, "docs");
    EXPECT_TRUE(entries->at(0).is_dir);
    EXPECT_EQ(entries->at(0).mtime, 0u);
    EXPECT_EQ(entries->at(1).name, "f");
    EXPECT_FALSE(entries->at(1).is_dir);
    EXPECT_EQ(entries->at(1).mtime, 9u);
}

TEST(client_listing, extended_directory_has_an_mtime_and_no_size) {
    const bytes body =
        body_writer{}.text("docs/").nul().u32(77).text("f").nul().u32(3).u32(88).data;
    const auto entries = parse_listing(body, true);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_TRUE(entries->at(0).is_dir);
    EXPECT_EQ(entries->at(0).size, 0u);
    EXPECT_EQ(entries->at(0).mtime, 77u);
    EXPECT_EQ(entries->at(1).size, 3u);
    EXPECT_EQ(entries->at(1).mtime, 88u);
}

TEST(client_listing, names_keep_dots_and_spaces) {
    const bytes body = body_writer{}.text(".hidden").nul().u32(1).text("my dir/").nul().data;
    const auto entries = parse_listing(body, false);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ(entries->at(0).name, ".hidden");
    EXPECT_EQ(entries->at(1).name, "my dir");
}

// Every prefix of a valid body parses only when it ends between two entries.
void expect_only_entry_boundaries_parse(const bytes &body, bool extended,
                                        const std::vector<size_t> &boundaries) {
    for (size_t length = 0; length <= body.size(); ++length) {
        // An exact-size copy, so a read past the end is caught by the sanitizers.
        const bytes prefix(body.begin(), body.begin() + length);
        const auto entries = parse_listing(prefix, extended);
        size_t complete = 0;
        bool on_boundary = false;
        for (size_t b = 0; b < boundaries.size(); ++b) {
            if (boundaries[b] == length) {
                on_boundary = true;
                complete = b;
            }
        }
        EXPECT_EQ(entries.has_value(), on_boundary) << "prefix of " << length << " bytes";
        if (entries && on_boundary) {
            EXPECT_EQ(entries->size(), complete) << length;
        }
    }
}

TEST(client_listing, truncated_plain_bodies_are_refused) {
    const bytes body =
        body_writer{}.text("ab/").nul().text("cd").nul().u32(1).text("e/").nul().data;
    expect_only_entry_boundaries_parse(body, false, {0, 4, 11, 14});
}

TEST(client_listing, truncated_extended_bodies_are_refused) {
    const bytes body = body_writer{}
                           .text("ab/")
                           .nul()
                           .u32(2)
                           .text("cd")
                           .nul()
                           .u32(1)
                           .u32(5)
                           .text("e")
                           .nul()
                           .u32(3)
                           .u32(4)
                           .data;
    expect_only_entry_boundaries_parse(body, true, {0, 8, 19, 29});
}

TEST(client_listing, a_name_without_its_nul_is_refused) {
    EXPECT_FALSE(parse_listing(body_writer{}.text("abc").data, false).has_value());
}

TEST(client_listing, empty_names_and_names_holding_a_slash_are_refused) {
    EXPECT_FALSE(parse_listing(body_writer{}.nul().u32(1).data, false).has_value());
    EXPECT_FALSE(parse_listing(body_writer{}.text("/").nul().data, false).has_value());
    EXPECT_FALSE(parse_listing(body_writer{}.text("a/b").nul().u32(1).data, false).has_value());
    EXPECT_FALSE(parse_listing(body_writer{}.text("a//").nul().data, false).has_value());
}

TEST(client_listing, the_layout_flag_changes_how_the_same_bytes_split) {
    // Plain: file "f" mtime 2, file "g" mtime 3. Extended: "f" of size 2 whose mtime takes
    // the bytes "g", NUL, 3, 0; then a zero byte stands where a name should start.
    const bytes body = body_writer{}.text("f").nul().u32(2).text("g").nul().u32(3).data;
    const auto plain = parse_listing(body, false);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->size(), 2u);
    EXPECT_FALSE(parse_listing(body, true).has_value());
}

TEST(client_listing, the_fixed_root_listing_fits_neither_layout) {
    const std::string expected = std::string("Private/") + std::string(5, '\0') + "Public/" +
                                 std::string(5, '\0') + "Web/" + std::string(2, '\0');
    ASSERT_EQ(tvn_client::root_listing.size(), 31u);
    EXPECT_EQ(std::string(tvn_client::root_listing), expected);
    const bytes body(tvn_client::root_listing.begin(), tvn_client::root_listing.end());
    EXPECT_FALSE(parse_listing(body, false).has_value());
    EXPECT_FALSE(parse_listing(body, true).has_value());
}

} // namespace
