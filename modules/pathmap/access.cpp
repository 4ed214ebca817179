// The access decision: the area roots, closed areas, and what a guest may do.
#include <fcntl.h>

#include <initializer_list>
#include <string_view>

#include "area.h"
#include "pathmap.h"

namespace {

// Open flags that let a guest change a file: write-only, read-write, create, truncate. The
// server hands OPEN's flags over in the host's encoding.
constexpr uint32_t guest_forbidden_open_flags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;
static_assert(guest_forbidden_open_flags == 0x243, "host open flags differ from the protocol's");

// True when a rule on areas refuses the path. A path in no area passes here: no module
// translates it, so the request is refused before it is ever checked.
bool refused_by_area_rules(const tvn_request *request, std::string_view path) {
    const pathmap::area_match area = pathmap::find_area(path);
    if (area.kind == pathmap::area_kind::none) return false;
    if (pathmap::area_directory(request, area.kind) == nullptr) return true;
    if (!pathmap::names_area_root(path, area)) return false;
    // The area directories themselves are fixed points of the namespace: they can only be
    // listed (a guest only the public one), and given times, which changes no name.
    if (request->method == SETTIME) return false;
    return request->method != GETDIR ||
           (request->is_guest != 0 && area.kind != pathmap::area_kind::public_area);
}

// A guest only reads: listing, reading, closing and opening without any changing flag.
bool guest_may(const tvn_request *request) {
    switch (request->method) {
    case OPEN: return (request->method_options & guest_forbidden_open_flags) == 0;
    case WRITE:
    case SETTIME:
    case DELETE:
    case MKDIR:
    case RENAME:
    case COPYFILE: return false;
    default: return true;
    }
}

} // namespace

extern "C" int access_check(tvn_request *request) {
    for (const char *path : {request->remote_path1, request->remote_path2})
        if (path != nullptr && refused_by_area_rules(request, path)) return ACCESS_DENIED;
    // Any non-zero guest flag, also "not authenticated", gets the guest's rights only.
    if (request->is_guest != 0 && !guest_may(request)) return ACCESS_DENIED;
    return OK;
}
