// How long the mount trusts what it has seen: attributes and directory entries (in the
// kernel and in the mount's own listings) and file contents in the kernel's page cache. The
// server suggests a level at login; options override it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tvnmount {

using std::chrono::milliseconds;

// The level the CONNECT answer's flags announce: one of bits 8 to 12 is set, bit 12 minus the
// level. Empty when no single one of them is.
std::optional<int> suggested_cache_level(std::uint32_t flags);

struct cache_times {
    milliseconds attributes{0}; // size, kind, time of a name
    milliseconds entries{0};    // a name's presence or absence in its directory
    // The kernel keeps a file's pages from one open to the next while its size and time are
    // unchanged; otherwise every open starts from an empty cache.
    bool keep_page_cache = true;
};

// Level 0 (the server's default) trusts for one second, level 4 for five minutes.
cache_times times_for_level(int level);

// What the user asked for on the command line, each overriding the level's value.
struct cache_overrides {
    std::optional<int> level;
    std::optional<milliseconds> attributes;
    std::optional<milliseconds> entries;
    std::optional<bool> keep_page_cache;
};

// The level to use (the user's, else the server's, else 0) with the user's overrides applied.
cache_times choose_cache_times(std::optional<int> suggested, const cache_overrides &overrides);

} // namespace tvnmount
