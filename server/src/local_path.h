// Using the local paths of a request without following symbolic links the session may not
// follow. Below an area's directory no link is followed unless the account module allows links
// to be both shown and followed: the path is resolved from the area's directory by the kernel,
// which refuses every link on the way, so a link that appears between the access check and the
// use is refused as well. A link refused this way reads as ELOOP, which the handlers answer
// with ACCESS_DENIED.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

struct tvn_connection;
struct tvn_request;

// The connection's open area directories, the anchors of resolution (opened on first use).
// Zero-filled, every anchor is unopened.
struct area_anchors {
    int opened[4]; // descriptor + 1 of private, public, web, and "/" for a path in no area
};

// Every anchor unopened.
void reset_area_anchors(area_anchors *anchors);
// Closes the anchors that were opened.
void close_area_anchors(area_anchors *anchors);

// True when the request's link permission lets links be shown and followed.
bool links_followed(const tvn_request *request);

// Opens path as open(2) would (mode for a created file): a descriptor, or -1 with errno.
int open_local(tvn_connection *connection, const char *path, int flags, mode_t mode,
               bool follow_links);

// The directory that holds a path's last component, for the *at calls that create, remove or
// rename names. With links followed it is the working directory and the leaf is the whole path,
// so nothing costs more than the plain call.
class parent_dir {
public:
    parent_dir(tvn_connection *connection, const char *path, bool follow_links);
    ~parent_dir();
    parent_dir(const parent_dir &) = delete;
    parent_dir &operator=(const parent_dir &) = delete;

    // False when the directory could not be opened (errno tells why).
    bool opened() const { return fd_ != -1; }
    int fd() const { return fd_; }
    const char *leaf() const { return leaf_; }

private:
    int fd_ = -1;
    bool owned_ = false;
    const char *leaf_ = nullptr;
    char leaf_copy_[NAME_MAX + 1]; // the last component without trailing slashes
};

// Opens rest (relative, no leading "/") beneath the directory anchor without following any
// symbolic link, one component at a time with O_NOFOLLOW: the way for kernels without
// openat2. A ".." component is refused. -1 with errno (ELOOP for a link).
int open_beneath_by_walk(int anchor, const char *rest, int flags, mode_t mode);
