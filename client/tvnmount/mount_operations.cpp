// The operations table, the mount's start and end, and what the handlers share.
#include <cerrno>
#include <cstring>

#include "file_calls.h"
#include "fuse_handlers.h"
#include "mount_log.h"
#include "mount_paths.h"
#include "path_calls.h"

namespace tvnmount {

int mount_context::fetch(const std::string &directory, listing &entries) {
    return list_remote(pool, directory, entries);
}

int mount_context::look_up(const std::string &path, entry_info &found) {
    if (path == "/") {
        found = {true, 0, 0};
        return 0;
    }
    return listings.look_up(parent_of(path), std::string(name_of(path)), found,
                            [this](const std::string &directory, listing &entries) {
                                return fetch(directory, entries);
                            });
}

namespace handlers {

mount_context &context() {
    return *static_cast<mount_context *>(fuse_get_context()->private_data);
}

int push_pending(mount_context &mount, open_file &file) {
    if (file.pending.empty()) return 0;
    const std::uint64_t end = file.pending.end();
    if (const int failed = write_pending(mount.pool, mount.files, file)) return failed;
    const std::string path = mount.files.path_of(file);
    mount.listings.note_size(parent_of(path), std::string(name_of(path)), end,
                             listing_cache::size_change::written);
    return 0;
}

void push_pending_at(mount_context &mount, const std::string &path, bool below,
                     const open_file *except) {
    for (const auto &file : mount.files.at(path, below)) {
        if (file.get() == except) continue;
        std::lock_guard held(file->lock);
        const int failed = push_pending(mount, *file);
        if (failed != 0 && file->deferred_error == 0) file->deferred_error = failed;
    }
}

std::string path_of(mount_context &mount, const char *path, const fuse_file_info *info) {
    if (path != nullptr) return path;
    if (info == nullptr || info->fh == 0) return {};
    return mount.files.path_of(*reinterpret_cast<const open_file *>(std::uintptr_t(info->fh)));
}

namespace {

void *init(fuse_conn_info *connection, fuse_config *config) {
    mount_context &mount = context();
    const auto seconds = [](std::chrono::milliseconds time) { return time.count() / 1000.0; };
    config->attr_timeout = seconds(mount.cache.attributes);
    config->entry_timeout = seconds(mount.cache.entries);
    config->negative_timeout = seconds(mount.cache.entries);
    // Pages kept from one open to the next while size and time stay the same.
    config->auto_cache = mount.cache.keep_page_cache ? 1 : 0;
    config->kernel_cache = 0;
    config->direct_io = mount.cache.keep_page_cache ? 0 : 1;
    // Handlers take paths: they are the server's names.
    config->nullpath_ok = 0;
    config->use_ino = 0;
    // An open file that is removed is renamed to a hidden name until it is closed, as the
    // server's handle could not survive a new login without a name to open it by.
    config->hard_remove = 0;
    // open(O_TRUNC) becomes one OPEN with truncate rather than a truncate and an OPEN.
    if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    return &mount;
}

void destroy(void *private_data) {
    auto &mount = *static_cast<mount_context *>(private_data);
    for (const auto &file : mount.files.all()) {
        std::lock_guard held(file->lock);
        if (const int failed = push_pending(mount, *file))
            log_line("writes to " + mount.files.path_of(*file) + " were lost: " +
                     std::strerror(failed));
    }
    mount.pool.stop();
}

fuse_operations make_table() {
    fuse_operations table{};
    table.init = init;
    table.destroy = destroy;
    table.getattr = getattr;
    table.readdir = readdir;
    table.mkdir = mkdir;
    table.unlink = unlink;
    table.rmdir = rmdir;
    table.rename = rename;
    table.statfs = statfs;
    table.create = create;
    table.open = open;
    table.read = read;
    table.write = write;
    table.flush = flush;
    table.fsync = fsync;
    table.release = release;
    table.truncate = truncate;
    table.chmod = chmod;
    table.chown = chown;
    table.utimens = utimens;
    table.link = link;
    table.symlink = symlink;
    table.mknod = mknod;
    return table;
}

} // namespace

} // namespace handlers

const fuse_operations &mount_operations() {
    static const fuse_operations table = handlers::make_table();
    return table;
}

} // namespace tvnmount
