// What the server cannot store: permission bits, owners, times, links. A request that would
// change what the mount shows fails with EPERM, as on a file system without these
// attributes; one that asks for what is already shown succeeds, because nothing needs to
// change (git confirms a file's mode that way, tar and cp set the modes files already have).
#include <cerrno>

#include "file_calls.h"
#include "fuse_handlers.h"
#include "mount_paths.h"

namespace tvnmount::handlers {

namespace {

// The entry of a path, "/" included.
int entry_of(mount_context &mount, const std::string &path, entry_info &entry) {
    if (path.empty()) return ESTALE;
    return mount.look_up(path, entry);
}

bool is_now(const timespec &time) { return time.tv_nsec == UTIME_NOW; }
bool is_omitted(const timespec &time) { return time.tv_nsec == UTIME_OMIT; }

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

// Times: the server keeps a file's modification time and sets it itself. "Now" (touch) is
// within reach: a truncation at the file's own size changes nothing but that time. Any other
// time succeeds only when it is the one shown already (the mount shows it for access and
// change times as well).
int utimens(const char *path, const struct timespec times[2], fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name = path_of(mount, path, info);
    const timespec &access = times[0];
    const timespec &modification = times[1];
    if (is_omitted(access) && is_omitted(modification)) return 0;
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
