// tvnmount's command line. The login options are tvnclient's (-H, -p, -u, -t, --tls, --ca,
// --accept-new, TVN_USER, TVN_TLS); the rest say how to mount.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cache_policy.h"
#include "kernel_read_ahead.h"
#include "session_pool.h"
#include "tvnclient/problem.h"
#include "tvnclient/session.h"

namespace tvnmount {

inline constexpr std::size_t default_sessions = 4;
inline constexpr std::size_t default_write_back = 2u << 20;
inline constexpr std::size_t most_write_back = 16u << 20;

// When a file read in order is read ahead, by pipelined READs: from a distant server (a READ
// of 128 KiB slower than 2 ms), always, or never.
enum class read_ahead_mode { automatic, always, never };

struct mount_options {
    tvnclient::login_settings login; // the password comes later
    std::string mount_point;
    bool foreground = false;               // -f
    std::vector<std::string> fuse_options; // each -o value, handed to libfuse
    std::size_t sessions = default_sessions;
    cache_overrides cache;
    std::size_t write_back = default_write_back;
    read_ahead_mode read_ahead = read_ahead_mode::automatic;
    // The kernel's read-ahead window in KiB (0 leaves the kernel's own); set where the user
    // may (root), and a failure reported only when the option was given.
    std::size_t kernel_read_ahead_kib = default_kernel_read_ahead_kib;
    bool kernel_read_ahead_given = false;
    // --unmount MOUNTPOINT, or -u MOUNTPOINT given alone (see parse_mount_options).
    std::string unmount;
    bool show_help = false;
    bool show_version = false;
};

// Reads the command line. -u names the login, as in tvnclient; but "tvnmount -u DIR" with no
// mount point besides, DIR an existing directory, unmounts DIR (as fusermount3 -u does).
tvnclient::problem parse_mount_options(int argc, char **argv, mount_options &options);

} // namespace tvnmount
