// GETDIR answer bodies: entries follow one another with no count and no padding.
//   directory:      name "/" NUL                [extended: u32 mtime]
//   anything else:  name NUL  [extended: u32 size]  u32 mtime
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tvn_client {

struct listing_entry {
    std::string name; // without the "/" that marks a directory
    bool is_dir = false;
    std::uint32_t size = 0;  // extended listings only, and never for a directory
    std::uint32_t mtime = 0; // seconds since 1970; absent (0) for a directory in a plain listing
};

// Splits a listing body (a GETDIR answer's) into its entries, in the server's order;
// `extended` is whether the session asked for extended listings at CONNECT. Empty when the
// body is truncated or malformed (an entry without its NUL or its
// numbers, an empty name, a name holding "/"). Never reads outside `body`.
std::optional<std::vector<listing_entry>> parse_listing(std::span<const std::uint8_t> body,
                                                        bool extended);

// The listing of "/" is fixed and fits neither layout: "Private/" and "Public/" carry four
// zero bytes each, "Web/" a single one. parse_listing refuses it; compare it bytewise.
inline constexpr std::string_view root_listing{"Private/\0\0\0\0\0Public/\0\0\0\0\0Web/\0\0", 31};
// What that listing names: the three areas, as directories.
std::vector<listing_entry> area_entries();

} // namespace tvn_client
