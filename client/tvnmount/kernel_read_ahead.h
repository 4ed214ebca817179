// The kernel's read-ahead window for the mount. It reads a FUSE file ahead 128 KiB at a time,
// one request to the mount each; a wider window lets each request carry up to 1 MiB, which
// halves the round trips of a sequential read. The window is a setting of the mount's backing
// device in sysfs, which only root may write.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tvnmount {

inline constexpr std::size_t default_kernel_read_ahead_kib = 1024;
inline constexpr std::size_t most_kernel_read_ahead_kib = 16384;

// The "MAJOR:MINOR" of the file system mounted last at `mount_point` (an absolute path, as
// the mount table spells it), from mountinfo's text; nothing when none is.
std::optional<std::string> mounted_device(std::string_view mountinfo,
                                          const std::string &mount_point);

// Sets the window of the file system mounted at `mount_point` to `kib`: 0, or an errno
// (EACCES for a user other than root, ENOENT when the mount or its device is not found).
int set_kernel_read_ahead(const std::string &mount_point, std::size_t kib);

} // namespace tvnmount
