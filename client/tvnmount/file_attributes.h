// The attributes the mount shows. The server tells a name's kind, size and modification
// time; the rest is made up: the owner is the user who mounted, the mode 0644 for files and
// 0755 for directories, without the write bits where the session may change nothing (a
// guest's areas), and "/" itself, where nothing can be made, 0555.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <ctime>
#include <string_view>

#include "listing_cache.h"
#include "path_calls.h"

namespace tvnmount {

class attribute_maker {
public:
    attribute_maker(uid_t owner, gid_t group, area_rights writable, std::time_t mounted)
            : owner_(owner), group_(group), writable_(writable), mounted_(mounted) {}
    attribute_maker(const attribute_maker &other)
            : owner_(other.owner_),
              group_(other.group_),
              writable_(other.writable_),
              mounted_(other.mounted_) {
        for (std::size_t i = 0; i < area_times_.size(); ++i)
            area_times_[i].store(other.area_times_[i].load());
    }
    attribute_maker &operator=(const attribute_maker &) = delete;

    // The attributes of "/" (no entry) and of any other path from its entry.
    void of_root(struct stat &into) const;
    void of_entry(std::string_view path, const entry_info &entry, struct stat &into) const;
    // The permission bits a path shows (for chmod, which may only confirm them).
    mode_t permissions(std::string_view path, bool is_dir) const;
    uid_t owner() const { return owner_; }
    gid_t group() const { return group_; }
    bool writable(std::string_view path) const;
    // No listing carries the areas' own times: an area shows the time of the mount until a
    // time is set on it through the mount (the server keeps that time; a later mount shows
    // its own again).
    void note_area_time(std::string_view path, std::time_t time) const;

private:
    uid_t owner_;
    gid_t group_;
    area_rights writable_;
    std::time_t mounted_;
    mutable std::array<std::atomic<std::time_t>, 3> area_times_{};
};

} // namespace tvnmount
