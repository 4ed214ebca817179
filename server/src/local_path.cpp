// Resolution of local paths beneath the user's area directories, refusing symbolic links
// where the session may not follow them.
#include "local_path.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "connection.h"

namespace {

constexpr int NO_ANCHOR = -1;
constexpr int ROOT_ANCHOR = 3;
constexpr int DIRECTORY_ONLY = O_PATH | O_DIRECTORY | O_CLOEXEC;

// A path below an area: the anchor's descriptor and the rest, relative to it.
struct anchored {
    int fd = -1;
    const char *rest = nullptr;
};

// The length of dir without trailing slashes, when path lies in dir (equal to it, or dir
// followed by "/"); -1 otherwise.
long prefix_length(const char *dir, const char *path) {
    if (dir == nullptr || dir[0] == '\0') return -1;
    std::string_view area(dir);
    while (area.size() > 1 && area.back() == '/') area.remove_suffix(1);
    if (area == "/") return 0;
    if (std::strncmp(path, area.data(), area.size()) != 0) return -1;
    const char next = path[area.size()];
    return next == '\0' || next == '/' ? long(area.size()) : -1;
}

// The anchor of path: the longest area directory that holds it, else "/" for an absolute path
// and the working directory for a relative one. fd -1 (errno set) when the anchor cannot be
// opened.
anchored find_anchor(tvn_connection *connection, const char *path) {
    const tvn_request *request = connection->request;
    const char *const dirs[3] = {request->private_dir, request->public_dir, request->web_dir};
    int chosen = NO_ANCHOR;
    long chosen_length = -1;
    for (int i = 0; i < 3; ++i) {
        const long length = prefix_length(dirs[i], path);
        if (length > chosen_length) {
            chosen = i;
            chosen_length = length;
        }
    }
    anchored where;
    if (chosen == NO_ANCHOR) {
        if (path[0] != '/') return anchored{AT_FDCWD, path};
        chosen = ROOT_ANCHOR;
        chosen_length = 0;
    }
    int &opened = connection->anchors.opened[chosen];
    // The area's directory itself is the administrator's: links up to it are followed.
    if (opened == 0) opened = open(chosen == ROOT_ANCHOR ? "/" : dirs[chosen], DIRECTORY_ONLY) + 1;
    if (opened == 0) return where;
    where.fd = opened - 1;
    where.rest = path + chosen_length;
    while (*where.rest == '/') ++where.rest;
    return where;
}

// The kernel's resolution without links, beneath the anchor; the walk where it is missing.
int open_beneath(int anchor, const char *rest, int flags, mode_t mode) {
    if (rest[0] == '\0') return openat(anchor, ".", flags | O_CLOEXEC);
    open_how how{};
    how.flags = uint64_t(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const long fd = syscall(SYS_openat2, anchor, rest, &how, sizeof how);
    if (fd >= 0) return int(fd);
    if (errno == ENOSYS) return open_beneath_by_walk(anchor, rest, flags, mode);
    if (errno == EXDEV) errno = ELOOP; // a way out of the area: refused like a link
    return -1;
}

// The next component of a walk: a directory descriptor, or -1 (ELOOP for a link).
int step_into(int directory, const char *name) {
    if (std::strcmp(name, "..") == 0) {
        errno = ELOOP;
        return -1;
    }
    const int fd = openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode)) {
        const bool link = S_ISLNK(status.st_mode);
        close(fd);
        errno = link ? ELOOP : ENOTDIR;
        return -1;
    }
    return fd;
}

} // namespace

void reset_area_anchors(area_anchors *anchors) { *anchors = area_anchors{}; }

void close_area_anchors(area_anchors *anchors) {
    for (int &opened : anchors->opened) {
        if (opened > 0) close(opened - 1);
        opened = 0;
    }
}

bool links_followed(const tvn_request *request) {
    return (request->link_permission & (TVN_LINK_SHOW | TVN_LINK_FOLLOW)) ==
           (TVN_LINK_SHOW | TVN_LINK_FOLLOW);
}

int open_local(tvn_connection *connection, const char *path, int flags, mode_t mode,
               bool follow_links) {
    if (follow_links) return open(path, flags | O_CLOEXEC, mode);
    const anchored where = find_anchor(connection, path);
    if (where.fd == -1) return -1;
    return open_beneath(where.fd, where.rest, flags, mode);
}

int open_beneath_by_walk(int anchor, const char *rest, int flags, mode_t mode) {
    char component[NAME_MAX + 1];
    int directory = anchor;
    bool owned = false;
    const char *p = rest;
    for (;;) {
        while (*p == '/') ++p;
        const char *end = std::strchr(p, '/');
        const char *after = end != nullptr ? end : p + std::strlen(p);
        const char *next = after;
        while (*next == '/') ++next;
        const size_t length = size_t(after - p);
        if (length > NAME_MAX) {
            if (owned) close(directory);
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(component, p, length);
        component[length] = '\0';
        if (*next == '\0') { // the last component
            int fd;
            if (length == 0) {
                fd = openat(directory, ".", flags | O_CLOEXEC);
            } else if (std::strcmp(component, "..") == 0) {
                errno = ELOOP;
                fd = -1;
            } else {
                fd = openat(directory, component, flags | O_NOFOLLOW | O_CLOEXEC, mode);
            }
            const int saved = errno;
            if (owned) close(directory);
            errno = saved;
            return fd;
        }
        const int fd = step_into(directory, component);
        const int saved = errno;
        if (owned) close(directory);
        errno = saved;
        if (fd < 0) return -1;
        directory = fd;
        owned = true;
        p = next;
    }
}

parent_dir::parent_dir(tvn_connection *connection, const char *path, bool follow_links) {
    if (follow_links) {
        fd_ = AT_FDCWD;
        leaf_ = path;
        return;
    }
    const anchored where = find_anchor(connection, path);
    if (where.fd == -1) return;
    std::string_view rest(where.rest);
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.empty()) { // the area's directory itself has no parent to use
        errno = EACCES;
        return;
    }
    const size_t slash = rest.rfind('/');
    const std::string_view leaf = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
    if (leaf.size() > NAME_MAX) {
        errno = ENAMETOOLONG;
        return;
    }
    std::memcpy(leaf_copy_, leaf.data(), leaf.size());
    leaf_copy_[leaf.size()] = '\0';
    leaf_ = leaf_copy_;
    if (slash == std::string_view::npos) { // the leaf lies right in the anchor
        fd_ = where.fd;
        return;
    }
    char parent[PATH_MAX];
    if (slash >= sizeof parent) {
        errno = ENAMETOOLONG;
        return;
    }
    std::memcpy(parent, rest.data(), slash);
    parent[slash] = '\0';
    const int fd = open_beneath(where.fd, parent, DIRECTORY_ONLY, 0);
    if (fd < 0) return;
    fd_ = fd;
    owned_ = true;
}

parent_dir::~parent_dir() {
    if (owned_) close(fd_);
}
