// Fuzz target: the path-mapping module on arbitrary client paths, methods, open flags, guest
// flags and area directories: translation then the access decision, as the server calls
// them, and the syntax check other modules may call. What must always hold:
// - a translated local path is the chosen area's directory followed by the rest of the client
//   path after the area's name (one trailing "/" removed, a "/" added after a final ":"), and
//   no component of that rest is "." or "..";
// - a refusal of translation has its reason in the path (no area, a closed area, a dot
//   component, a path too long for the walk);
// - the access decision never lets a guest change anything, never lets an area root be
//   anything but listed or given times, and never opens a closed area.
//
// Input: the method byte, a flag byte (bits 0-1 the guest flag, bits 2-4 which of the
// private, public and web directories are set, bits 5-6 whether path 1 and path 2 are set),
// the open flags (4 bytes, little-endian), the start index of the syntax check (2 bytes), then
// NUL-ended texts: the private, public and web directories, path 1 and path 2.
#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "pathmap.h"
#include "pool.h"

namespace {

using tvn_fuzz::require;

constexpr std::size_t longest_walk = 32767;

struct area_choice {
    bool in_area = false;
    const char *directory = nullptr; // NULL or empty: closed
    std::size_t name_length = 0;
};

// The area a client path names: "/Private", "/Public" or "/Web" in any letter case, followed
// by "/" or the end.
area_choice area_of(std::string_view path, const tvn_request &request) {
    const struct {
        std::string_view name;
        const char *directory;
    } areas[] = {{"/Private", request.private_dir},
                 {"/Public", request.public_dir},
                 {"/Web", request.web_dir}};
    for (const auto &area : areas) {
        if (path.size() < area.name.size() ||
            strncasecmp(path.data(), area.name.data(), area.name.size()) != 0)
            continue;
        if (path.size() > area.name.size() && path[area.name.size()] != '/') return {};
        return {true, area.directory, area.name.size()};
    }
    return {};
}

bool open_area(const area_choice &area) {
    return area.in_area && area.directory != nullptr && area.directory[0] != '\0';
}

bool has_dot_component(std::string_view rest) {
    for (std::size_t slash = rest.find('/'); slash != std::string_view::npos;
         slash = rest.find('/', slash + 1)) {
        std::string_view name = rest.substr(slash + 1);
        name = name.substr(0, name.find('/'));
        if (name == "." || name == "..") return true;
    }
    return false;
}

bool names_area_root(std::string_view path, const area_choice &area) {
    return area.in_area && path.find_first_not_of('/', area.name_length) == std::string_view::npos;
}

// One client path as translation must have left it, given the path before.
void require_translated(const std::string &before, const char *after, const char *local,
                        const tvn_request &request) {
    const area_choice area = area_of(before, request);
    require(open_area(area), "translation: a path outside an open area was translated");
    std::string rest = before.substr(area.name_length);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    require(before.substr(0, area.name_length) + rest == after,
            "translation: the client path changed wrongly");
    require(!has_dot_component(rest), "translation: a dot component reached the local path");
    std::string expected = std::string(area.directory) + rest;
    if (expected.back() == ':') expected += '/';
    require(local != nullptr && expected == local, "translation: wrong local path");
}

// Why translation may refuse: some set path gives a reason.
bool refusal_explained(int status, const std::string *paths[2], const tvn_request &request) {
    for (const std::string *path : {paths[0], paths[1]}) {
        if (path == nullptr) continue;
        const area_choice area = area_of(*path, request);
        if (status == NOT_HANDLED && !open_area(area)) return true;
        if (status == ACCESS_DENIED && open_area(area) &&
            (path->size() > longest_walk ||
             has_dot_component(std::string_view(*path).substr(area.name_length))))
            return true;
    }
    return false;
}

void check_access(const tvn_request &request, int decision) {
    require(decision == OK || decision == ACCESS_DENIED, "access: neither OK nor ACCESS_DENIED");
    if (decision != OK) return;
    if (request.is_guest != 0) {
        const uint8_t method = request.method;
        require(method != WRITE && method != DELETE && method != MKDIR && method != RENAME &&
                    method != COPYFILE && method != SETTIME,
                "access: a guest may change the namespace or a time");
        require(method != OPEN || (request.method_options & 0x243) == 0,
                "access: a guest may open for change");
    }
    for (const char *path : {request.remote_path1, request.remote_path2}) {
        if (path == nullptr) continue;
        const area_choice area = area_of(path, request);
        if (!area.in_area) continue;
        require(open_area(area), "access: a closed area was let in");
        if (names_area_root(path, area))
            require(request.method == GETDIR || request.method == SETTIME,
                    "access: an area root touched by more than a listing or its times");
    }
}

void check_syntax(const std::string &path, int16_t start) {
    std::string copy = path;
    const int status = check_path_syntax(copy.data(), start);
    const bool start_fits = start >= 0 && std::size_t(start) <= path.size();
    if (status == 0) {
        require(start_fits && path.size() <= longest_walk,
                "syntax: accepted a start or length it must refuse");
        require(!has_dot_component(std::string_view(path).substr(std::size_t(start))),
                "syntax: accepted a dot component");
        const bool trimmed = path.size() > std::size_t(start) && path.back() == '/';
        require(std::string(copy.c_str()) == (trimmed ? path.substr(0, path.size() - 1) : path),
                "syntax: the path changed wrongly");
    } else {
        require(status == ACCESS_DENIED, "syntax: neither 0 nor ACCESS_DENIED");
        require(!start_fits || path.size() > longest_walk ||
                    has_dot_component(std::string_view(path).substr(std::size_t(start))),
                "syntax: refused a path without a reason");
        require(copy == path, "syntax: a refused path was changed");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static tvn_mpool *const pools = create_connection_pools();
    require(pools != nullptr, "no connection pools");

    tvn_fuzz::input_reader input(data, size);
    tvn_request request{};
    request.mpool = pools;
    request.method = input.byte();
    const uint8_t flags = input.byte();
    request.is_guest = flags & 3;
    request.method_options = input.u32();
    const auto start = int16_t(input.byte() | input.byte() << 8);
    std::string directories[3] = {input.text(), input.text(), input.text()};
    std::string paths[2] = {input.text(), input.text()};
    // The module shortens client paths in place: keep them in buffers of their own.
    std::string before[2] = {paths[0], paths[1]};
    char **const area_fields[3] = {&request.private_dir, &request.public_dir, &request.web_dir};
    for (int i = 0; i < 3; ++i)
        if ((flags & (4 << i)) != 0) *area_fields[i] = directories[i].data();
    if ((flags & 0x20) != 0) request.remote_path1 = paths[0].data();
    if ((flags & 0x40) != 0) request.remote_path2 = paths[1].data();
    const std::string *set_paths[2] = {request.remote_path1 ? &before[0] : nullptr,
                                       request.remote_path2 ? &before[1] : nullptr};

    const int translated = path_translation(&request);
    if (translated == OK) {
        if (request.remote_path1 != nullptr)
            require_translated(before[0], request.remote_path1, request.local_path1, request);
        if (request.remote_path2 != nullptr)
            require_translated(before[1], request.remote_path2, request.local_path2, request);
        check_access(request, access_check(&request));
    } else {
        require(translated == NOT_HANDLED || translated == ACCESS_DENIED,
                "translation: an unexpected status");
        require(refusal_explained(translated, set_paths, request),
                "translation: a refusal without a reason");
    }
    check_syntax(before[0], start);
    tvn_clear_pool(pools->request_pool);
    return 0;
}
