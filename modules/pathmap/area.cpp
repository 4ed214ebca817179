// Recognising the three area names at the start of a client path.
#include "area.h"

#include <array>

namespace pathmap {
namespace {

struct area_name {
    std::string_view name;
    area_kind kind;
};

constexpr std::array<area_name, 3> area_names{{
    {"/Private", area_kind::private_area},
    {"/Public", area_kind::public_area},
    {"/Web", area_kind::web_area},
}};

// ASCII only: the area names are ASCII, and the host locale must not change what matches.
constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

} // namespace

area_match find_area(std::string_view path) {
    for (const area_name &area : area_names) {
        if (!starts_with_ignoring_case(path, area.name)) continue;
        const std::string_view rest = path.substr(area.name.size());
        if (rest.empty() || rest.front() == '/') return {area.kind, area.name.size()};
        return {}; // "/PrivateX": no other area name can open a path that opens with this one
    }
    return {};
}

bool names_area_root(std::string_view path, const area_match &area) {
    return area.kind != area_kind::none &&
           path.find_first_not_of('/', area.name_length) == std::string_view::npos;
}

const char *area_directory(const tvn_request *request, area_kind kind) {
    const char *directory = nullptr;
    switch (kind) {
    case area_kind::private_area: directory = request->private_dir; break;
    case area_kind::public_area: directory = request->public_dir; break;
    case area_kind::web_area: directory = request->web_dir; break;
    case area_kind::none: break;
    }
    return (directory != nullptr && directory[0] != '\0') ? directory : nullptr;
}

} // namespace pathmap
