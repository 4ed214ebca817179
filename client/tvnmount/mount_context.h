// Everything the mount's operations share: the sessions, the kept listings, the open files,
// and the settings chosen at start.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "cache_policy.h"
#include "file_attributes.h"
#include "listing_cache.h"
#include "mount_options.h"
#include "open_files.h"
#include "session_pool.h"

struct fuse_operations;

namespace tvnmount {

struct mount_context {
    mount_context(session_pool &sessions, const cache_times &times, attribute_maker made,
                  std::size_t write_back, read_ahead_mode reading)
            : pool(sessions),
              cache(times),
              listings(times.attributes),
              attributes(made),
              write_back_size(write_back),
              read_ahead(reading) {}

    session_pool &pool;
    const cache_times cache;
    listing_cache listings;
    const attribute_maker attributes;
    open_file_registry files;
    // Bytes of small writes gathered per file before they leave; 0 sends each as it comes.
    const std::size_t write_back_size;
    const read_ahead_mode read_ahead;

    // Raised by every change of a file's content through the mount, by its path's bucket:
    // bytes read ahead are good while their bucket has not moved.
    std::uint64_t content_changes(const std::string &path) const {
        return changes_[bucket(path)].load(std::memory_order_acquire);
    }
    void content_changed(const std::string &path) {
        changes_[bucket(path)].fetch_add(1, std::memory_order_acq_rel);
    }

    // Runs once, at the first getattr: the kernel sends none before its INIT is answered and
    // settled, and INIT settles the kernel's read-ahead window, which may be widened only then.
    std::function<void()> after_init;
    void first_request() {
        std::call_once(first_request_, [this] {
            if (after_init) after_init();
        });
    }

    // A directory's listing, kept or fetched (the listing_fetch of the kept listings).
    int fetch(const std::string &directory, listing &entries);
    // The entry of a path other than "/": 0, ENOENT, or the listing's errno.
    int look_up(const std::string &path, entry_info &found);

private:
    static std::size_t bucket(const std::string &path) {
        return std::hash<std::string>{}(path) % change_buckets;
    }
    static constexpr std::size_t change_buckets = 64;
    std::once_flag first_request_;
    std::array<std::atomic<std::uint64_t>, change_buckets> changes_{};
};

// The table handed to libfuse; the context is its private data.
const fuse_operations &mount_operations();

} // namespace tvnmount
