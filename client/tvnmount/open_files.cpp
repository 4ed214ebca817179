// The registry of open files.
#include "open_files.h"

#include <algorithm>

#include "mount_paths.h"

namespace tvnmount {

void open_file_registry::add(const std::shared_ptr<open_file> &file) {
    std::lock_guard held(mutex_);
    files_.push_back(file);
}

std::shared_ptr<open_file> open_file_registry::remove(const open_file *file) {
    std::lock_guard held(mutex_);
    const auto found =
        std::find_if(files_.begin(), files_.end(), [file](const auto &kept) { return kept.get() == file; });
    if (found == files_.end()) return nullptr;
    std::shared_ptr<open_file> taken = std::move(*found);
    files_.erase(found);
    return taken;
}

std::vector<std::shared_ptr<open_file>> open_file_registry::at(const std::string &path,
                                                               bool below) const {
    std::lock_guard held(mutex_);
    std::vector<std::shared_ptr<open_file>> found;
    for (const auto &file : files_)
        if (file->path == path || (below && is_within(file->path, path))) found.push_back(file);
    return found;
}

void open_file_registry::renamed(const std::string &from, const std::string &to) {
    std::lock_guard held(mutex_);
    for (const auto &file : files_)
        if (is_within(file->path, from)) file->path = to + file->path.substr(from.size());
}

std::string open_file_registry::path_of(const open_file &file) const {
    std::lock_guard held(mutex_);
    return file.path;
}

void open_file_registry::set_path(open_file &file, const std::string &path) {
    std::lock_guard held(mutex_);
    if (file.path != path) file.path = path;
}

bool open_file_registry::empty() const {
    std::lock_guard held(mutex_);
    return files_.empty();
}

std::vector<std::shared_ptr<open_file>> open_file_registry::all() const {
    std::lock_guard held(mutex_);
    return files_;
}

} // namespace tvnmount
