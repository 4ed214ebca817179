// The directories the mount has listed, kept for the attribute time-out: a name's size, kind
// and time come from the listing of its directory, so one GETDIR answers the lookups of a
// whole directory. What the mount changes itself is noted in the listings it keeps, so that
// a file it has just created is there at once without listing its directory again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tolvane/listing.h"

namespace tvnmount {

struct entry_info {
    bool is_dir = false;
    std::uint32_t size = 0;
    std::uint32_t mtime = 0; // seconds since 1970
};

using listing = std::vector<tvn_client::listing_entry>;

// The present as a listing gives times: seconds since 1970.
std::uint32_t now_seconds();
// Lists one directory of the server: 0, or an errno.
using listing_fetch = std::function<int(const std::string &directory, listing &entries)>;

class listing_cache {
public:
    using clock = std::chrono::steady_clock;

    // lifetime 0 keeps nothing: every question lists the directory again.
    explicit listing_cache(std::chrono::milliseconds lifetime) : lifetime_(lifetime) {}

    // The name's entry in the directory's listing: 0, ENOENT, or the errno of the listing.
    int look_up(const std::string &directory, const std::string &name, entry_info &found,
                const listing_fetch &fetch);
    // Every entry of the directory.
    int read_directory(const std::string &directory,
                       std::vector<std::pair<std::string, entry_info>> &entries,
                       const listing_fetch &fetch);

    // Changes the mount made; each touches only a listing that is kept.
    void note_entry(const std::string &directory, const std::string &name, const entry_info &entry);
    // How a file's size became known.
    enum class size_change {
        written,   // bytes were written up to the size: it grows to it, its time is now
        truncated, // it was cut to the size, its time is now
        observed,  // OPEN answered it: the size alone is taken
    };
    void note_size(const std::string &directory, const std::string &name, std::uint64_t size,
                   size_change how);
    void note_removed(const std::string &directory, const std::string &name);
    // Its modification time was set.
    void note_time(const std::string &directory, const std::string &name, std::uint32_t mtime);
    // A rename: the entry moves, and whatever was kept below the old path is forgotten.
    void note_renamed(const std::string &from, const std::string &to);
    // Forgets the directory's listing.
    void forget(const std::string &directory);

private:
    struct directory_state {
        std::unordered_map<std::string, entry_info> entries;
        clock::time_point fetched{};
        bool valid = false;
        // Raised by every change noted; a listing fetched while it moved may lack the change.
        std::uint64_t changes = 0;
        int fetching = 0; // listings of it under way: it must not be dropped meanwhile
    };

    // Under the lock: the kept, still fresh listing of the directory, or null.
    directory_state *fresh(const std::string &directory);
    // Lists the directory and keeps the listing; with the lock held on entry and on return.
    int refresh(std::unique_lock<std::mutex> &held, const std::string &directory,
                const listing_fetch &fetch, directory_state *&state);
    void drop_stale();
    // Under the lock: marks a change of the directory (a listing under way will be redone)
    // and returns its kept listing, or null.
    directory_state *changed(const std::string &directory);

    std::chrono::milliseconds lifetime_;
    std::mutex mutex_;
    std::unordered_map<std::string, directory_state> directories_;
};

} // namespace tvnmount
