// The server's cache hint as time-outs.
#include "cache_policy.h"

#include <array>

#include "tolvane/protocol.h"

namespace tvnmount {

namespace {

using std::chrono::seconds;

// Level 0 still caches for a second: without it every stat, and every name a path walks
// through, would cost a listing of its directory, and tools that stat what they have just
// written would crawl. A change made elsewhere shows after at most the level's time.
constexpr std::array<milliseconds, 5> level_times = {
    seconds(1), seconds(5), seconds(30), seconds(120), seconds(300)};

} // namespace

std::optional<int> suggested_cache_level(std::uint32_t flags) {
    std::optional<int> found;
    for (int level = 0; level <= 4; ++level) {
        if ((flags & (TVN_CONNECT_FLAGS_CACHE_BASE << (4 - level))) == 0) continue;
        if (found) return std::nullopt;
        found = level;
    }
    return found;
}

cache_times times_for_level(int level) {
    const int bounded = level < 0 ? 0 : level > 4 ? 4 : level;
    cache_times times;
    times.attributes = level_times[std::size_t(bounded)];
    times.entries = level_times[std::size_t(bounded)];
    times.keep_page_cache = true;
    return times;
}

cache_times choose_cache_times(std::optional<int> suggested, const cache_overrides &overrides) {
    cache_times times = times_for_level(overrides.level.value_or(suggested.value_or(0)));
    if (overrides.attributes) times.attributes = *overrides.attributes;
    if (overrides.entries) times.entries = *overrides.entries;
    if (overrides.keep_page_cache) times.keep_page_cache = *overrides.keep_page_cache;
    return times;
}

} // namespace tvnmount
