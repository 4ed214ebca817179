// The files the kernel holds open through the mount. Each has its server handle on one
// session of the pool (its home), the login that handle belongs to, and the small writes not
// yet sent. The registry finds them by path: a rename moves their paths, and a read or a
// stat through another handle sees their unsent writes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session_pool.h"
#include "write_back.h"

namespace tvnmount {

// A file's handle on one session, and the login it belongs to.
struct slot_handle {
    std::uint64_t generation = 0;
    std::uint32_t handle = 0; // 0: not open on that session at present
};

struct open_file {
    open_file(std::string opened_path, std::uint32_t access_mode, std::size_t home_index,
              std::size_t write_back_size)
            : path(std::move(opened_path)), access(access_mode), home(home_index),
              pending(write_back_size) {}

    // Held while the file's writes, bytes read ahead and reader state are used; taken before
    // any session of the pool, never after one. Plain reads leave it before they ask.
    std::mutex lock;
    // Where the file is now (guarded by the registry's lock: a rename may change it).
    std::string path;
    // OPEN's access bits, to open the file again after a new login.
    const std::uint32_t access;
    const std::size_t home;
    // Each used only by the holder of its session: the handle of the file's own access on its
    // home session, and handles for reading on the others (reads the kernel sends side by
    // side go over several sessions).
    slot_handle home_handle;
    std::array<slot_handle, most_sessions> read_handles{};
    write_back pending;
    // Bytes read ahead for a reader going through the file in order.
    struct read_ahead {
        std::vector<std::uint8_t> bytes;
        std::uint64_t start = 0;
        bool reaches_end = false; // the file ended within them
        std::uint64_t changes = 0; // content_changes of the path when they were read
        std::string path;          // the path they were read at
    } ahead;
    std::uint64_t next_read = 0;     // where the last read ended
    bool far = false;                // READs are slow enough to be worth reading ahead
    int probes = 0;                  // READs timed to tell
    std::chrono::steady_clock::duration fastest_read = std::chrono::hours(1);
    std::size_t ahead_window = 0;    // the last stretch read ahead
    std::uint64_t known_size = 0; // as OPEN answered it, grown by writes through the handle
    // A write-back that failed after its write() had returned: told at the next flush.
    int deferred_error = 0;
};

class open_file_registry {
public:
    void add(const std::shared_ptr<open_file> &file);
    // Takes the file out; the registry's reference is handed back.
    std::shared_ptr<open_file> remove(const open_file *file);
    // The open files at `path`; with `below`, also those under it (a directory's).
    std::vector<std::shared_ptr<open_file>> at(const std::string &path, bool below) const;
    // A rename: paths at or under `from` move under `to`.
    void renamed(const std::string &from, const std::string &to);
    std::string path_of(const open_file &file) const;
    void set_path(open_file &file, const std::string &path);
    bool empty() const;
    std::vector<std::shared_ptr<open_file>> all() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<open_file>> files_;
};

} // namespace tvnmount
