// Open files: OPEN on create and open, READ, WRITE through the gathered small writes,
// truncation by the zero-length WRITE, CLOSE on release.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>

#include "file_calls.h"
#include "fuse_handlers.h"
#include "mount_log.h"
#include "mount_paths.h"
#include "tolvane/protocol.h"

namespace tvnmount::handlers {

namespace {

using size_change = listing_cache::size_change;

open_file &file_of(const fuse_file_info *info) {
    return *reinterpret_cast<open_file *>(static_cast<std::uintptr_t>(info->fh));
}

// OPEN's mode for open(2) flags.
std::uint32_t open_mode(int flags) {
    std::uint32_t mode = TVN_OPEN_READ;
    if ((flags & O_ACCMODE) == O_WRONLY) mode = TVN_OPEN_WRITE;
    if ((flags & O_ACCMODE) == O_RDWR) mode = TVN_OPEN_READ_WRITE;
    if (flags & O_TRUNC) mode |= TVN_OPEN_TRUNCATE;
    return mode;
}

void note(mount_context &mount, const std::string &path, std::uint64_t size, size_change how) {
    mount.listings.note_size(parent_of(path), std::string(name_of(path)), size, how);
}

// Reading ahead costs a copy of every byte, which a near server does not repay: a file reads
// ahead once even the fastest of its first READs of far_probe_size bytes or more took longer
// than far_read_time (slower than 64 MB/s: the round trip, not the copying, sets the pace).
// The fastest, since on a busy machine a near server's READ is now and then slow too.
constexpr std::size_t far_probe_size = 128u << 10;
constexpr std::chrono::milliseconds far_read_time(2);
constexpr int far_probes = 4;
// The stretch read ahead: 1 MiB at first, doubled at every stretch up to 16 MiB.
constexpr std::size_t first_ahead_window = 1u << 20;
constexpr std::size_t most_ahead_window = 16u << 20;

// What the bytes read ahead hold of a read at `offset`: the count copied into `into`, or
// nothing when they cannot answer it whole (or have gone stale).
std::optional<std::size_t> from_ahead(mount_context &mount, open_file &file,
                                      const std::string &path, std::uint64_t offset,
                                      std::span<std::uint8_t> into) {
    open_file::read_ahead &ahead = file.ahead;
    if (ahead.bytes.empty() && !ahead.reaches_end) return std::nullopt;
    if (ahead.path != path || ahead.changes != mount.content_changes(path)) {
        ahead.bytes.clear();
        ahead.reaches_end = false;
        return std::nullopt;
    }
    const std::uint64_t end = ahead.start + ahead.bytes.size();
    if (offset < ahead.start || offset > end) return std::nullopt;
    const std::size_t count = std::size_t(std::min<std::uint64_t>(into.size(), end - offset));
    if (count < into.size() && !ahead.reaches_end) return std::nullopt;
    std::memcpy(into.data(), ahead.bytes.data() + (offset - ahead.start), count);
    return count;
}

// A change of the file's content through this handle.
void changed(mount_context &mount, open_file &file, const std::string &path, std::uint64_t size,
             size_change how) {
    mount.content_changed(path);
    file.known_size = how == size_change::written ? std::max(file.known_size, size) : size;
    note(mount, path, size, how);
}

// Registers an opened file and hands it to the kernel.
void hand_over(mount_context &mount, const std::shared_ptr<open_file> &opened,
               fuse_file_info *info) {
    mount.files.add(opened);
    info->fh = reinterpret_cast<std::uintptr_t>(opened.get());
}

} // namespace

int create(const char *path, mode_t, fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name(path);
    std::uint32_t mode = open_mode(info->flags) | TVN_OPEN_CREATE;
    if (info->flags & O_EXCL) mode |= TVN_OPEN_EXCLUSIVE;
    std::shared_ptr<open_file> opened;
    std::uint32_t size = 0;
    if (const int failed =
            open_on_new_home(mount.pool, name, mode, mount.write_back_size, opened, size))
        return -failed;
    opened->known_size = size;
    hand_over(mount, opened, info);
    mount.content_changed(name);
    mount.listings.note_entry(parent_of(name), std::string(name_of(name)),
                              {false, size, now_seconds()});
    return 0;
}

int open(const char *path, fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name(path);
    // A reader through this handle must see what other handles have written.
    push_pending_at(mount, name, false);
    std::shared_ptr<open_file> opened;
    std::uint32_t size = 0;
    const std::uint32_t mode = open_mode(info->flags);
    if (const int failed =
            open_on_new_home(mount.pool, name, mode, mount.write_back_size, opened, size))
        return -failed;
    opened->known_size = size;
    hand_over(mount, opened, info);
    if (mode & TVN_OPEN_TRUNCATE) mount.content_changed(name);
    note(mount, name, size,
         (mode & TVN_OPEN_TRUNCATE) ? size_change::truncated : size_change::observed);
    return 0;
}

int read(const char *path, char *buffer, size_t size, off_t offset, fuse_file_info *info) {
    mount_context &mount = context();
    open_file &file = file_of(info);
    const std::string name = path_of(mount, path, info);
    push_pending_at(mount, name, false, &file);
    const auto position = std::uint64_t(offset);
    const std::span into(reinterpret_cast<std::uint8_t *>(buffer), size);
    {
        std::lock_guard held(file.lock);
        mount.files.set_path(file, name);
        if (const int failed = push_pending(mount, file)) return -failed;
        std::optional<std::size_t> served = from_ahead(mount, file, name, position, into);
        // From a distant server, a reader that goes on where it stopped gets the next stretch
        // in one pipelined run, which grows while the reader keeps going.
        const bool reads_ahead = mount.read_ahead == read_ahead_mode::always ||
                                 (mount.read_ahead == read_ahead_mode::automatic && file.far);
        if (!served && reads_ahead && position > 0 && position == file.next_read) {
            file.ahead_window =
                std::clamp(file.ahead_window * 2, first_ahead_window, most_ahead_window);
            const std::uint64_t changes = mount.content_changes(name);
            bool reached_end = false;
            const std::uint64_t limit = position + std::max(file.ahead_window, size);
            if (const int failed = read_ahead(mount.pool, mount.files, file, position, limit,
                                              file.ahead.bytes, reached_end))
                return -failed;
            file.ahead.start = position;
            file.ahead.reaches_end = reached_end;
            file.ahead.changes = changes;
            file.ahead.path = name;
            served = from_ahead(mount, file, name, position, into);
        }
        if (served) {
            file.next_read = position + *served;
            return int(*served);
        }
    }
    // Without the file's lock: reads the kernel sends side by side go over several sessions.
    const auto started = std::chrono::steady_clock::now();
    std::size_t got = 0;
    if (const int failed = read_file(mount.pool, mount.files, file, position, into, got))
        return -failed;
    const auto took = std::chrono::steady_clock::now() - started;
    std::lock_guard held(file.lock);
    if (got >= far_probe_size) {
        file.fastest_read = std::min(file.fastest_read, took);
        file.far = ++file.probes >= far_probes && file.fastest_read > far_read_time;
    }
    file.next_read = position + got;
    return int(got);
}

int write(const char *path, const char *data, size_t size, off_t offset, fuse_file_info *info) {
    mount_context &mount = context();
    open_file &file = file_of(info);
    const std::string name = path_of(mount, path, info);
    const auto position = std::uint64_t(offset);
    if (position + size > position_limit) return -EFBIG;
    const std::span bytes(reinterpret_cast<const std::uint8_t *>(data), size);
    std::lock_guard held(file.lock);
    mount.files.set_path(file, name);
    if (!file.pending.absorb(position, bytes)) {
        // What was gathered leaves first; its failure is this write's, as it is the first
        // call that can tell.
        if (const int failed = push_pending(mount, file)) return -failed;
        if (!file.pending.absorb(position, bytes)) {
            if (const int failed = write_file(mount.pool, mount.files, file, position, bytes))
                return -failed;
        }
    }
    if (file.pending.full()) {
        if (const int failed = push_pending(mount, file)) return -failed;
    }
    changed(mount, file, name, position + size, size_change::written);
    return int(size);
}

int flush(const char *path, fuse_file_info *info) {
    mount_context &mount = context();
    open_file &file = file_of(info);
    std::lock_guard held(file.lock);
    mount.files.set_path(file, path_of(mount, path, info));
    int failed = push_pending(mount, file);
    if (failed == 0) failed = std::exchange(file.deferred_error, 0);
    return -failed;
}

int fsync(const char *path, int, fuse_file_info *info) { return flush(path, info); }

int release(const char *path, fuse_file_info *info) {
    mount_context &mount = context();
    const std::shared_ptr<open_file> file = mount.files.remove(&file_of(info));
    if (!file) return 0;
    {
        std::lock_guard held(file->lock);
        if (path != nullptr) mount.files.set_path(*file, path);
        // Nobody can be told any more (close has returned): the log keeps it.
        if (const int failed = push_pending(mount, *file))
            log_line("writes to " + mount.files.path_of(*file) +
                     " were lost: " + std::strerror(failed));
        close_file(mount.pool, *file);
    }
    mount.pool.leave_home(file->home);
    return 0;
}

int truncate(const char *path, off_t size, fuse_file_info *info) {
    mount_context &mount = context();
    const std::string name = path_of(mount, path, info);
    if (size < 0) return -EINVAL;
    if (std::uint64_t(size) >= position_limit) return -EFBIG;
    // Writes waiting to leave came before the truncation.
    open_file *own = info != nullptr && info->fh != 0 ? &file_of(info) : nullptr;
    push_pending_at(mount, name, false, own);
    int failed = 0;
    if (own != nullptr) {
        std::lock_guard held(own->lock);
        mount.files.set_path(*own, name);
        failed = push_pending(mount, *own);
        if (failed == 0) failed = truncate_file(mount.pool, mount.files, *own, std::uint64_t(size));
    } else {
        failed = cut_path(mount.pool, name, std::uint64_t(size));
    }
    if (failed != 0) return -failed;
    mount.content_changed(name);
    if (own != nullptr) {
        std::lock_guard held(own->lock);
        own->known_size = std::uint64_t(size);
    }
    note(mount, name, std::uint64_t(size), size_change::truncated);
    return 0;
}

} // namespace tvnmount::handlers
