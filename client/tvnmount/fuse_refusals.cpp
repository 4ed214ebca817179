// Attributes beside a file's content. What the server cannot store (permission bits, owners,
// links, and times where it lacks SETTIME) fails with EPERM when a request would change what
// the mount shows, as on a file system without these attributes; one that asks for what is
// already shown succeeds, because nothing needs to change (git confirms a file's mode that
// way, tar and cp set the modes files already have).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "file_calls.h"
#include "fuse_handlers.h"
#include "mount_paths.h"
#include "path_calls.h"
#include "tolvane/protocol.h"

namespace tvnmount::handlers {

namespace {

// The entry of a path, "/" included.
int entry_of(mount_context &mount, const std::string &path, entry_info &entry) {
    if (path.empty()) return ESTALE;
    return mount.look_up(path, entry);
}

bool is_now(const timespec &time) { return time.tv_nsec == UTIME_NOW; }
bool is_omitted(const timespec &time) { return time.tv_nsec == UTIME_OMIT; }

// A time as SETTIME carries it: its seconds, or an option bit for "now" or "keep".
struct wire_time {
    std::uint32_t seconds = 0;
    std::uint32_t option = 0;
};

// EOVERFLOW for a time the wire's unsigned seconds cannot hold (before 1970, after 2106).
int to_wire(const timespec &time, std::uint32_t now_bit, std::uint32_t keep_bit, wire_time &out) {
    if (is_omitted(time)) {
        out.option = keep_bit;
    } else if (is_now(time)) {
        out.option = now_bit;
    } else {
        if (time.tv_sec < 0 || time.tv_sec > time_t(UINT32_MAX)) return EOVERFLOW;
        out.seconds = std::uint32_t(time.tv_sec); // whole seconds, as listings keep them
    }
    return 0;
}

int set_times(mount_context &mount, const std::string &name, const timespec &access,
              const timespec &modification) {
    wire_time wire_access, wire_modification;
    if (const int failed =
            to_wire(access, TVN_SETTIME_ACCESS_NOW, TVN_SETTIME_ACCESS_KEEP, wire_access))
        return failed;
    if (const int failed = to_wire(modification, TVN_SETTIME_MODIFICATION_NOW,
                                   TVN_SETTIME_MODIFICATION_KEEP, wire_modification))
        return failed;
    // Writes still gathered would land after the time and move it again.
    push_pending_at(mount, name, false);
    if (const int failed =
            set_remote_times(mount.pool, name, wire_access.seconds, wire_modification.seconds,
                             wire_access.option | wire_modification.option))
        return failed;
    if (!is_omitted(modification)) {
        const auto shown = is_now(modification) ? now_seconds() : wire_modification.seconds;
        mount.listings.note_time(parent_of(name), std::string(name_of(name)), shown);
        mount.attributes.note_area_time(name, shown);
    }
    return 0;
}

} // namespace

int chmod(const char *path, mode_t mode, fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name = path_of(mount, path, info);
    entry_info entry;
    if (const int failed = entry_of(mount, name, entry)) return -failed;
    const mode_t shown = mount.attributes.permissions(name, entry.is_dir);
    return (mode & 07777) == shown ? 0 : -EPERM;
}

int chown(const char *path, uid_t owner, gid_t group, fuse_file_info *info) {
    mount_context &mount = context();
    entry_info entry;
    if (const int failed = entry_of(mount, path_of(mount, path, info), entry)) return -failed;
    const bool same_owner = owner == uid_t(-1) || owner == mount.attributes.owner();
    const bool same_group = group == gid_t(-1) || group == mount.attributes.group();
    return same_owner && same_group ? 0 : -EPERM;
}

// Times. A server that serves SETTIME keeps what is asked, in whole seconds (as listings
// show them); the access time is kept on the server but shown as the modification time, as
// everything the mount shows of a file comes from its directory's listing. Without SETTIME,
// "now" is still within reach (a truncation at the file's own size changes nothing but that
// time), and any other time succeeds only when it is the one shown already.
int utimens(const char *path, const struct timespec times[2], fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name = path_of(mount, path, info);
    const timespec &access = times[0];
    const timespec &modification = times[1];
    if (is_omitted(access) && is_omitted(modification)) return 0;
    // The server answers for the name itself: no listing is needed first.
    if (!name.empty() && name != "/" &&
        (mount.pool.first_flags() & TVN_CONNECT_FLAG_SETS_TIMES) != 0)
        return -set_times(mount, name, access, modification);
    entry_info entry;
    if (const int failed = entry_of(mount, name, entry)) return -failed;
    if (is_now(modification) && (is_now(access) || is_omitted(access)) && !entry.is_dir) {
        push_pending_at(mount, name, false);
        if (const int failed = cut_path(mount.pool, name, std::nullopt)) return -failed;
        mount.listings.forget(parent_of(name));
        return 0;
    }
    struct stat shown;
    if (name == "/")
        mount.attributes.of_root(shown);
    else
        mount.attributes.of_entry(name, entry, shown);
    const auto unchanged = [&shown](const timespec &time) {
        return is_omitted(time) ||
               (!is_now(time) && time.tv_sec == shown.st_mtim.tv_sec && time.tv_nsec == 0);
    };
    return unchanged(access) && unchanged(modification) ? 0 : -EPERM;
}

int link(const char *, const char *) { return -EPERM; }
int symlink(const char *, const char *) { return -EPERM; }
// Regular files come through create; devices, pipes and sockets cannot be stored.
int mknod(const char *, mode_t, dev_t) { return -EPERM; }

} // namespace tvnmount::handlers
