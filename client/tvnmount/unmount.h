// tvnmount --unmount: hands the mount point to fusermount3 -u, which may unmount a FUSE mount
// of the calling user's own without root.
#pragma once

#include <string>

namespace tvnmount {

// 0 when the mount point was unmounted; otherwise 1, after fusermount3's own message (or
// one of ours when it could not be run).
int unmount_mount_point(const std::string &mount_point);

} // namespace tvnmount
