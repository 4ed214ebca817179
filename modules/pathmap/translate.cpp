// Translation of client paths into local paths: the dot-component rule, the trailing "/",
// and the join with the area directory.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "area.h"
#include "pathmap.h"

namespace {

// The walk's index is signed 16-bit, like the start index other modules pass in. A longer
// path would wrap it to a negative index and read before the string, so such a path is
// refused before the walk; no host path comes near that length anyway.
constexpr std::size_t longest_path = INT16_MAX;

// "." or ".." as a whole component: what follows a "/" up to the next "/" or the end.
bool is_dot_component(std::string_view after_slash) {
    const std::string_view name = after_slash.substr(0, after_slash.find('/'));
    return name == "." || name == "..";
}

} // namespace

extern "C" int check_path_syntax(char *path, int16_t start) {
    if (path == nullptr || start < 0) return ACCESS_DENIED;
    const std::size_t length = strnlen(path, longest_path + 1);
    if (length > longest_path || std::size_t(start) > length) return ACCESS_DENIED;

    const std::string_view text(path, length);
    for (int16_t i = start; std::size_t(i) < length; ++i)
        if (text[i] == '/' && is_dot_component(text.substr(i + 1))) return ACCESS_DENIED;

    if (length > std::size_t(start) && text.back() == '/') path[length - 1] = '\0';
    return 0;
}

extern "C" int adapt_path(tvn_request *request, char **destination, char *path) {
    if (path == nullptr) return NOT_HANDLED;
    const pathmap::area_match area = pathmap::find_area(path);
    if (area.kind == pathmap::area_kind::none) return NOT_HANDLED;
    const char *directory = pathmap::area_directory(request, area.kind);
    if (directory == nullptr) return NOT_HANDLED;

    // The area's name is at most 8 bytes, so the index fits.
    const int16_t rest_start = static_cast<int16_t>(area.name_length);
    if (int refused = check_path_syntax(path, rest_start); refused != 0) return refused;

    const char *rest = path + area.name_length;
    const std::size_t directory_length = std::strlen(directory);
    const std::size_t rest_length = std::strlen(rest);
    // Room for a "/" after a final ":" and for the terminating zero.
    const std::size_t size = directory_length + rest_length + 2;
    tvn_mpool *pools = request->mpool;
    if (pools == nullptr || size != uint32_t(size))
        return INTERNAL_SERVER_ERR; // pools take 32-bit sizes
    auto *local = static_cast<char *>(pools->tvn_malloc(pools->request_pool, uint32_t(size)));
    if (local == nullptr) return INTERNAL_SERVER_ERR;

    std::memcpy(local, directory, directory_length);
    std::memcpy(local + directory_length, rest, rest_length);
    std::size_t end = directory_length + rest_length;
    // A local path that ends in ":" is closed with a "/"; the allocation kept a byte for it.
    if (end > 0 && local[end - 1] == ':') local[end++] = '/';
    local[end] = '\0';
    *destination = local;
    return 0;
}

extern "C" int path_translation(tvn_request *request) {
    if (request->remote_path1 != nullptr) {
        if (int status = adapt_path(request, &request->local_path1, request->remote_path1))
            return status;
    }
    if (request->remote_path2 != nullptr) {
        if (int status = adapt_path(request, &request->local_path2, request->remote_path2))
            return status;
    }
    return OK;
}
