// Kept listings: one listing answers a directory's lookups, the mount's own changes show at
// once, and a listing that raced with a change is fetched again.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "listing_cache.h"

namespace {

using namespace std::chrono_literals;
using namespace tvnmount;

// A server's directories as name -> entries, counting the listings asked for.
struct fake_server {
    std::map<std::string, listing> directories;
    int listings = 0;
    std::function<void()> during_fetch;

    listing_fetch fetcher() {
        return [this](const std::string &directory, listing &entries) {
            ++listings;
            if (during_fetch) std::exchange(during_fetch, nullptr)();
            const auto found = directories.find(directory);
            if (found == directories.end()) return ENOENT;
            entries = found->second;
            return 0;
        };
    }
    void add(const std::string &directory, const std::string &name, bool is_dir,
             std::uint32_t size) {
        tvn_client::listing_entry entry;
        entry.name = name;
        entry.is_dir = is_dir;
        entry.size = size;
        entry.mtime = 1000;
        directories[directory].push_back(entry);
    }
};

TEST(tvnmount_listing_cache, one_listing_answers_every_lookup_in_its_directory) {
    fake_server server;
    server.add("/Private", "a", false, 10);
    server.add("/Private", "d", true, 0);
    listing_cache cache(60s);
    entry_info found;
    ASSERT_EQ(cache.look_up("/Private", "a", found, server.fetcher()), 0);
    EXPECT_EQ(found.size, 10u);
    ASSERT_EQ(cache.look_up("/Private", "d", found, server.fetcher()), 0);
    EXPECT_TRUE(found.is_dir);
    EXPECT_EQ(cache.look_up("/Private", "missing", found, server.fetcher()), ENOENT);
    EXPECT_EQ(server.listings, 1);
    EXPECT_EQ(cache.look_up("/Nowhere", "x", found, server.fetcher()), ENOENT);
}

TEST(tvnmount_listing_cache, without_a_lifetime_every_question_lists_again) {
    fake_server server;
    server.add("/Public", "a", false, 1);
    listing_cache cache(0ms);
    entry_info found;
    cache.look_up("/Public", "a", found, server.fetcher());
    cache.look_up("/Public", "a", found, server.fetcher());
    EXPECT_EQ(server.listings, 2);
}

TEST(tvnmount_listing_cache, the_mounts_own_changes_show_in_kept_listings) {
    fake_server server;
    server.add("/Private", "a", false, 10);
    server.add("/Public", "x", false, 1);
    listing_cache cache(60s);
    entry_info found;
    ASSERT_EQ(cache.look_up("/Private", "a", found, server.fetcher()), 0);
    ASSERT_EQ(cache.look_up("/Public", "x", found, server.fetcher()), 0);

    cache.note_entry("/Private", "new", {false, 0, 5});
    EXPECT_EQ(cache.look_up("/Private", "new", found, server.fetcher()), 0);
    cache.note_size("/Private", "new", 300, listing_cache::size_change::written);
    cache.note_size("/Private", "new", 100, listing_cache::size_change::written);
    cache.look_up("/Private", "new", found, server.fetcher());
    EXPECT_EQ(found.size, 300u); // writes only ever grow a file
    cache.note_size("/Private", "new", 100, listing_cache::size_change::truncated);
    cache.look_up("/Private", "new", found, server.fetcher());
    EXPECT_EQ(found.size, 100u);

    cache.note_renamed("/Private/a", "/Public/b");
    EXPECT_EQ(cache.look_up("/Private", "a", found, server.fetcher()), ENOENT);
    ASSERT_EQ(cache.look_up("/Public", "b", found, server.fetcher()), 0);
    EXPECT_EQ(found.size, 10u);
    cache.note_removed("/Public", "x");
    EXPECT_EQ(cache.look_up("/Public", "x", found, server.fetcher()), ENOENT);
    EXPECT_EQ(server.listings, 2);
}

TEST(tvnmount_listing_cache, a_listing_that_raced_with_a_change_is_fetched_again) {
    fake_server server;
    server.add("/Private", "old", false, 1);
    listing_cache cache(60s);
    // While the first listing is on its way, the mount creates a file the listing lacks.
    server.during_fetch = [&] {
        cache.note_entry("/Private", "created", {false, 0, 0});
        server.add("/Private", "created", false, 0);
    };
    entry_info found;
    EXPECT_EQ(cache.look_up("/Private", "created", found, server.fetcher()), 0);
    EXPECT_EQ(server.listings, 2);
}

TEST(tvnmount_listing_cache, renaming_a_directory_forgets_what_was_kept_below_it) {
    fake_server server;
    server.add("/Private", "d", true, 0);
    server.add("/Private/d", "inner", false, 1);
    listing_cache cache(60s);
    entry_info found;
    ASSERT_EQ(cache.look_up("/Private/d", "inner", found, server.fetcher()), 0);
    cache.note_renamed("/Private/d", "/Private/e");
    server.directories["/Private/d"].clear();
    EXPECT_EQ(cache.look_up("/Private/d", "inner", found, server.fetcher()), ENOENT);
}

} // namespace
