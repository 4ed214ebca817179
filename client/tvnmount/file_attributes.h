// The attributes the mount shows. The server tells a name's kind, size and modification
// time; the rest is made up: the owner is the user who mounted, the mode 0644 for files and
// 0755 for directories, without the write bits where the session may change nothing (a
// guest's areas), and "/" itself, where nothing can be made, 0555.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string_view>

#include "listing_cache.h"
#include "path_calls.h"

namespace tvnmount {

class attribute_maker {
public:
    attribute_maker(uid_t owner, gid_t group, area_rights writable, std::time_t mounted)
            : owner_(owner), group_(group), writable_(writable), mounted_(mounted) {}

    // The attributes of "/" (no entry) and of any other path from its entry.
    void of_root(struct stat &into) const;
    void of_entry(std::string_view path, const entry_info &entry, struct stat &into) const;
    // The permission bits a path shows (for chmod, which may only confirm them).
    mode_t permissions(std::string_view path, bool is_dir) const;
    uid_t owner() const { return owner_; }
    gid_t group() const { return group_; }
    bool writable(std::string_view path) const;

private:
    uid_t owner_;
    gid_t group_;
    area_rights writable_;
    std::time_t mounted_;
};

} // namespace tvnmount
