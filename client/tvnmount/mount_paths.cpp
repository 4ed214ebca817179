// Path arithmetic on the kernel's paths.
#include "mount_paths.h"

#include <array>

namespace tvnmount {

namespace {

constexpr std::array<std::string_view, 3> area_names = {"Private", "Public", "Web"};

std::string_view first_component(std::string_view path) {
    if (path.empty() || path.front() != '/') return {};
    path.remove_prefix(1);
    return path.substr(0, path.find('/'));
}

} // namespace

std::string parent_of(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string_view name_of(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string child_of(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

bool is_within(std::string_view path, std::string_view directory) {
    if (directory == "/") return !path.empty() && path.front() == '/';
    if (!path.starts_with(directory)) return false;
    return path.size() == directory.size() || path[directory.size()] == '/';
}

area area_of(std::string_view path) {
    const std::string_view first = first_component(path);
    for (std::size_t i = 0; i < area_names.size(); ++i)
        if (first == area_names[i]) return static_cast<area>(i);
    return area::none;
}

bool is_area_root(std::string_view path) {
    return area_of(path) != area::none && path.find('/', 1) == std::string_view::npos;
}

} // namespace tvnmount
