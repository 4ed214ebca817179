// Parsing GETDIR bodies, one entry after another, each read checked against the body's end.
#include "tolvane/listing.h"

#include <algorithm>
#include <utility>

#include "tolvane/byte_order.h"

namespace tvn_client {

namespace {

// Reads a u32 at `at` and moves past it; false when fewer than four bytes are left.
bool take_u32(std::span<const std::uint8_t> body, std::size_t &at, std::uint32_t &value) {
    if (body.size() - at < 4) return false;
    value = tvn_wire::get_le32(&body[at]);
    at += 4;
    return true;
}

} // namespace

std::optional<std::vector<listing_entry>> parse_listing(std::span<const std::uint8_t> body,
                                                        bool extended) {
    std::vector<listing_entry> entries;
    std::size_t at = 0;
    while (at < body.size()) {
        const auto rest = body.subspan(at);
        const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
        if (nul == rest.end()) return std::nullopt;
        listing_entry entry;
        entry.name.assign(rest.begin(), nul);
        at += entry.name.size() + 1;
        // A host file name never holds "/", so a trailing one can only mark a directory.
        entry.is_dir = !entry.name.empty() && entry.name.back() == '/';
        if (entry.is_dir) entry.name.pop_back();
        if (entry.name.empty() || entry.name.find('/') != std::string::npos) return std::nullopt;
        if (extended && !entry.is_dir && !take_u32(body, at, entry.size)) return std::nullopt;
        if ((extended || !entry.is_dir) && !take_u32(body, at, entry.mtime)) return std::nullopt;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<listing_entry> area_entries() {
    std::vector<listing_entry> areas(3);
    areas[0].name = "Private";
    areas[1].name = "Public";
    areas[2].name = "Web";
    for (auto &area : areas) area.is_dir = true;
    return areas;
}

} // namespace tvn_client
