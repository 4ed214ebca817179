// Remote path arithmetic: pure string work, no server involved.
#include "remote_path.h"

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

} // namespace tvnclient
