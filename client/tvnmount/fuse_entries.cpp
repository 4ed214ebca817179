// Names and directories: attributes from the kept listings, listings, MKDIR, DELETE, RENAME.
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "fuse_handlers.h"
#include "mount_paths.h"
#include "path_calls.h"

namespace tvnmount::handlers {

namespace {

// A file's size while writes to it wait to leave: as far as they reach.
void widen_by_pending(mount_context &mount, const std::string &path, struct stat &into) {
    for (const auto &file : mount.files.at(path, false)) {
        std::lock_guard held(file->lock);
        if (!file->pending.empty())
            into.st_size = std::max<off_t>(into.st_size, off_t(file->pending.end()));
    }
}

// MKDIR answered BAD_REQUEST: the name exists, or the host refused for a reason of its own.
int explain_mkdir_refusal(mount_context &mount, const std::string &path) {
    mount.listings.forget(parent_of(path));
    entry_info found;
    return mount.look_up(path, found) == 0 ? EEXIST : EPERM;
}

// RENAME answered BAD_REQUEST: another file system (areas on different disks), or kinds
// that do not fit (a directory onto a file, a file onto a directory).
int explain_rename_refusal(mount_context &mount, const std::string &from, const std::string &to) {
    if (area_of(from) != area_of(to)) return EXDEV;
    mount.listings.forget(parent_of(from));
    mount.listings.forget(parent_of(to));
    entry_info source, target;
    if (mount.look_up(from, source) != 0 || mount.look_up(to, target) != 0) return EXDEV;
    if (source.is_dir && !target.is_dir) return ENOTDIR;
    if (!source.is_dir && target.is_dir) return EISDIR;
    return EXDEV;
}

} // namespace

int getattr(const char *path, struct stat *into, fuse_file_info *info) {
    mount_context &mount = context();
    mount.first_request();
    const std::string name = path_of(mount, path, info);
    if (name.empty()) return -ESTALE;
    if (name == "/") {
        mount.attributes.of_root(*into);
        return 0;
    }
    entry_info entry;
    if (const int failed = mount.look_up(name, entry)) return -failed;
    mount.attributes.of_entry(name, entry, *into);
    if (!entry.is_dir) widen_by_pending(mount, name, *into);
    return 0;
}

int readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
            fuse_readdir_flags flags) {
    mount_context &mount = context();
    const std::string directory(path);
    std::vector<std::pair<std::string, entry_info>> entries;
    const int failed = mount.listings.read_directory(
        directory, entries,
        [&mount](const std::string &listed, listing &found) { return mount.fetch(listed, found); });
    if (failed != 0) return -failed;
    const auto plus = (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{};
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const auto &[name, entry] : entries) {
        struct stat attributes;
        mount.attributes.of_entry(child_of(directory, name), entry, attributes);
        if (fill(buffer, name.c_str(), &attributes, 0, plus) != 0) break;
    }
    return 0;
}

int mkdir(const char *path, mode_t) {
    mount_context &mount = context();
    const std::string name(path);
    int failed = make_remote_directory(mount.pool, name);
    if (failed == EEXIST) failed = explain_mkdir_refusal(mount, name);
    if (failed != 0) return -failed;
    mount.listings.note_entry(parent_of(name), std::string(name_of(name)),
                              {true, 0, now_seconds()});
    return 0;
}

int unlink(const char *path) {
    mount_context &mount = context();
    const std::string name(path);
    if (const int failed = remove_remote(mount.pool, name)) return -failed;
    mount.listings.note_removed(parent_of(name), std::string(name_of(name)));
    return 0;
}

int rmdir(const char *path) {
    mount_context &mount = context();
    const std::string name(path);
    if (const int failed = remove_remote(mount.pool, name)) return -failed;
    mount.listings.note_removed(parent_of(name), std::string(name_of(name)));
    mount.listings.forget(name);
    return 0;
}

int rename(const char *from_path, const char *to_path, unsigned int flags) {
    mount_context &mount = context();
    const std::string from(from_path), to(to_path);
    // RENAME_NOREPLACE and RENAME_EXCHANGE cannot be kept atomically over the protocol;
    // callers fall back to a plain rename with checks of their own.
    if (flags != 0) return -EINVAL;
    if (from == to) return 0;
    if (is_within(to, from)) return -EINVAL;
    // Writes waiting for files that move (or are replaced) go to them under their old names.
    push_pending_at(mount, from, true);
    push_pending_at(mount, to, true);
    int failed = rename_remote(mount.pool, from, to);
    if (failed == EXDEV) failed = explain_rename_refusal(mount, from, to);
    if (failed != 0) return -failed;
    mount.listings.note_renamed(from, to);
    mount.files.renamed(from, to);
    return 0;
}

int statfs(const char *, struct statvfs *into) {
    // The protocol tells neither sizes nor free space: zero blocks and files, which the
    // kernel and df take for "unknown".
    std::memset(into, 0, sizeof *into);
    into->f_bsize = 4096;
    into->f_frsize = 4096;
    into->f_namemax = 255;
    return 0;
}

} // namespace tvnmount::handlers
