// Kept listings and the changes the mount notes in them.
#include "listing_cache.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

#include "mount_paths.h"

namespace tvnmount {

std::uint32_t now_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

namespace {

// Beyond this many directories, listings that have expired are dropped.
constexpr std::size_t kept_directories = 2048;
// A directory changed by the mount while it was being listed is listed again, this often.
constexpr int listing_attempts = 3;

} // namespace

listing_cache::directory_state *listing_cache::fresh(const std::string &directory) {
    const auto found = directories_.find(directory);
    if (found == directories_.end() || !found->second.valid) return nullptr;
    if (clock::now() - found->second.fetched >= lifetime_) return nullptr;
    return &found->second;
}

listing_cache::directory_state *listing_cache::changed(const std::string &directory) {
    const auto found = directories_.find(directory);
    if (found == directories_.end()) return nullptr;
    ++found->second.changes;
    return found->second.valid ? &found->second : nullptr;
}

void listing_cache::drop_stale() {
    if (directories_.size() < kept_directories) return;
    const auto now = clock::now();
    std::erase_if(directories_, [&](const auto &kept) {
        const directory_state &state = kept.second;
        return state.fetching == 0 && (!state.valid || now - state.fetched >= lifetime_);
    });
    // A walk through a large tree with long time-outs: the oldest half goes.
    if (directories_.size() < 2 * kept_directories) return;
    std::vector<clock::time_point> times;
    times.reserve(directories_.size());
    for (const auto &kept : directories_) times.push_back(kept.second.fetched);
    auto middle = times.begin() + std::ptrdiff_t(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    const clock::time_point cut = *middle;
    std::erase_if(directories_, [&](const auto &kept) {
        return kept.second.fetching == 0 && kept.second.fetched < cut;
    });
}

int listing_cache::refresh(std::unique_lock<std::mutex> &held, const std::string &directory,
                           const listing_fetch &fetch, directory_state *&state) {
    drop_stale();
    for (int attempt = 1;; ++attempt) {
        directory_state &before = directories_[directory];
        const std::uint64_t changes_before = before.changes;
        ++before.fetching;
        listing entries;
        held.unlock();
        const int failed = fetch(directory, entries);
        held.lock();
        directory_state &after = directories_[directory];
        --after.fetching;
        if (failed != 0) return failed;
        after.entries.clear();
        after.entries.reserve(entries.size());
        for (auto &entry : entries)
            after.entries[std::move(entry.name)] = {entry.is_dir, entry.size, entry.mtime};
        after.fetched = clock::now();
        after.valid = true;
        state = &after;
        if (after.changes == changes_before || attempt == listing_attempts) return 0;
    }
}

int listing_cache::look_up(const std::string &directory, const std::string &name, entry_info &found,
                           const listing_fetch &fetch) {
    std::unique_lock held(mutex_);
    directory_state *state = fresh(directory);
    if (state == nullptr) {
        if (const int failed = refresh(held, directory, fetch, state)) return failed;
    }
    const auto entry = state->entries.find(name);
    if (entry == state->entries.end()) return ENOENT;
    found = entry->second;
    return 0;
}

int listing_cache::read_directory(const std::string &directory,
                                  std::vector<std::pair<std::string, entry_info>> &entries,
                                  const listing_fetch &fetch) {
    std::unique_lock held(mutex_);
    directory_state *state = fresh(directory);
    if (state == nullptr) {
        if (const int failed = refresh(held, directory, fetch, state)) return failed;
    }
    entries.assign(state->entries.begin(), state->entries.end());
    return 0;
}

void listing_cache::note_entry(const std::string &directory, const std::string &name,
                               const entry_info &entry) {
    std::lock_guard held(mutex_);
    if (directory_state *state = changed(directory)) state->entries[name] = entry;
}

void listing_cache::note_size(const std::string &directory, const std::string &name,
                              std::uint64_t size, size_change how) {
    std::lock_guard held(mutex_);
    directory_state *state = changed(directory);
    if (state == nullptr) return;
    const auto entry = state->entries.find(name);
    if (entry == state->entries.end() || entry->second.is_dir) return;
    const auto listed = static_cast<std::uint32_t>(size);
    if (how == size_change::written)
        entry->second.size = std::max(entry->second.size, listed);
    else
        entry->second.size = listed;
    if (how != size_change::observed) entry->second.mtime = now_seconds();
}

void listing_cache::note_time(const std::string &directory, const std::string &name,
                              std::uint32_t mtime) {
    std::lock_guard held(mutex_);
    directory_state *state = changed(directory);
    if (state == nullptr) return;
    const auto entry = state->entries.find(name);
    if (entry != state->entries.end()) entry->second.mtime = mtime;
}

void listing_cache::note_removed(const std::string &directory, const std::string &name) {
    std::lock_guard held(mutex_);
    if (directory_state *state = changed(directory)) state->entries.erase(name);
}

void listing_cache::note_renamed(const std::string &from, const std::string &to) {
    std::lock_guard held(mutex_);
    const std::string from_directory = parent_of(from);
    const std::string to_directory = parent_of(to);
    std::optional<entry_info> moved;
    if (directory_state *state = changed(from_directory)) {
        const auto entry = state->entries.find(std::string(name_of(from)));
        if (entry != state->entries.end()) {
            moved = entry->second;
            state->entries.erase(entry);
        }
    }
    if (directory_state *state = changed(to_directory)) {
        if (moved)
            state->entries[std::string(name_of(to))] = *moved;
        else
            state->valid = false;
    }
    // Listings of the moved directory, or of one the move replaced, are under other names now.
    for (auto &[path, state] : directories_) {
        if (is_within(path, from) || is_within(path, to)) {
            ++state.changes;
            state.valid = false;
        }
    }
}

void listing_cache::forget(const std::string &directory) {
    std::lock_guard held(mutex_);
    const auto found = directories_.find(directory);
    if (found == directories_.end()) return;
    ++found->second.changes;
    found->second.valid = false;
}

} // namespace tvnmount
