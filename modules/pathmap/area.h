// Which area a client path lies in. Translation and the access rules both ask here, so they
// can never disagree about where an area's name ends.
#pragma once

#include <cstddef>
#include <string_view>

#include "tolvane/module.h"

namespace pathmap {

enum class area_kind { none, private_area, public_area, web_area };

struct area_match {
    area_kind kind = area_kind::none;
    std::size_t name_length = 0; // of "/Private", "/Public" or "/Web" as the client wrote it
};

// The area whose name opens the path, ignoring case. The name must be followed by "/" or end
// the path: /PublicX/y and /Private.. would otherwise reach siblings of the area directories.
area_match find_area(std::string_view path);

// True when only "/" characters follow the area's name: every such path maps onto the area
// directory itself, so all of them must meet the rules of the area root.
bool names_area_root(std::string_view path, const area_match &area);

// The user's directory of the area, or NULL when the area is closed to the user. An empty
// directory counts as closed: joined with the rest it would name paths from the host's "/".
const char *area_directory(const tvn_request *request, area_kind kind);

} // namespace pathmap
