// Attributes from listing entries.
#include "file_attributes.h"

#include <cstring>

#include "mount_paths.h"

namespace tvnmount {

namespace {

// The block size tools size their buffers by: the most one WRITE carries, rounded down to a
// power of two.
constexpr blksize_t preferred_block = 262144;

} // namespace

bool attribute_maker::writable(std::string_view path) const {
    const area where = area_of(path);
    return where != area::none && writable_[std::size_t(where)];
}

mode_t attribute_maker::permissions(std::string_view path, bool is_dir) const {
    if (path == "/") return 0555;
    if (is_dir) return writable(path) ? 0755 : 0555;
    return writable(path) ? 0644 : 0444;
}

void attribute_maker::note_area_time(std::string_view path, std::time_t time) const {
    if (is_area_root(path)) area_times_[std::size_t(area_of(path))].store(time);
}

void attribute_maker::of_root(struct stat &into) const {
    std::memset(&into, 0, sizeof into);
    into.st_mode = S_IFDIR | permissions("/", true);
    into.st_nlink = 2;
    into.st_uid = owner_;
    into.st_gid = group_;
    into.st_blksize = preferred_block;
    into.st_atim.tv_sec = into.st_mtim.tv_sec = into.st_ctim.tv_sec = mounted_;
}

void attribute_maker::of_entry(std::string_view path, const entry_info &entry,
                               struct stat &into) const {
    std::memset(&into, 0, sizeof into);
    into.st_mode = (entry.is_dir ? S_IFDIR : S_IFREG) | permissions(path, entry.is_dir);
    into.st_nlink = entry.is_dir ? 2 : 1;
    into.st_uid = owner_;
    into.st_gid = group_;
    into.st_size = entry.is_dir ? 0 : off_t(entry.size);
    into.st_blocks = (into.st_size + 511) / 512;
    into.st_blksize = preferred_block;
    std::time_t time = std::time_t(entry.mtime);
    if (is_area_root(path)) {
        const std::time_t set = area_times_[std::size_t(area_of(path))].load();
        time = set != 0 ? set : mounted_;
    }
    into.st_atim.tv_sec = into.st_mtim.tv_sec = into.st_ctim.tv_sec = time;
}

} // namespace tvnmount
