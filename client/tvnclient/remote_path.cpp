// Remote path arithmetic: pure string work, no server involved.
#include "remote_path.h"

#include <array>
#include <cctype>
#include <vector>

namespace tvnclient {

std::string resolve_remote(std::string_view cwd, std::string_view typed) {
    std::vector<std::string_view> parts;
    auto walk = [&parts](std::string_view path) {
        while (!path.empty()) {
            const std::size_t slash = path.find('/');
            const std::string_view part = path.substr(0, slash);
            path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
                continue;
            }
            parts.push_back(part);
        }
    };
    if (typed.empty() || typed.front() != '/') walk(cwd);
    walk(typed);
    std::string resolved;
    for (std::string_view part : parts) {
        resolved += '/';
        resolved += part;
    }
    return resolved.empty() ? "/" : resolved;
}

std::string remote_join(std::string_view dir, std::string_view name) {
    std::string joined(dir);
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += name;
    return joined;
}

std::string remote_base_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool names_a_directory(std::string_view typed) {
    return typed.ends_with('/') || typed == "." || typed == ".." || typed.ends_with("/.") ||
           typed.ends_with("/..");
}

namespace {

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The first component of a resolved path: "Public" of "/Public/x".
std::string_view first_component(std::string_view resolved) {
    const std::string_view rest = resolved.substr(resolved.starts_with('/') ? 1 : 0);
    return rest.substr(0, rest.find('/'));
}

} // namespace

std::string_view area_of(std::string_view resolved) {
    constexpr std::array<std::string_view, 3> areas{"Private", "Public", "Web"};
    const std::string_view first = first_component(resolved);
    for (std::string_view area : areas)
        if (same_ignoring_case(first, area)) return area;
    return {};
}

bool is_area_root(std::string_view resolved) {
    if (resolved == "/") return true;
    return !area_of(resolved).empty() && resolved.find('/', 1) == std::string_view::npos;
}

bool outside_areas(std::string_view resolved) { return area_of(resolved).empty(); }

} // namespace tvnclient
