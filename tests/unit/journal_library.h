// The activity-log module for unit tests: journal.so loaded from the build as the server loads
// it, its exported names looked up, and a scratch directory for its files.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../../modules/journal/journal.h"

namespace journal_test {

struct journal_library {
    void *handle = nullptr;
    decltype(&init_module) init = nullptr;
    decltype(&read_config_file) read_config = nullptr;
    decltype(&read_module_section) read_module = nullptr;
    decltype(&read_virtual_domain) read_domain = nullptr;
    decltype(&put_elem) put = nullptr;
    decltype(&check_address) choose = nullptr;
    decltype(&init_vect) fill_names = nullptr;
    decltype(&logging) log = nullptr;
    decltype(&connection_closing) closing = nullptr;
    const char **methods = nullptr;
    const char **statuses = nullptr;
    std::string error;

    journal_library() {
        handle = dlopen(TVN_BUILT_MODULE_DIR "/journal.so", RTLD_NOW);
        if (handle == nullptr) {
            error = dlerror();
            return;
        }
        find(init, "init_module");
        find(read_config, "read_config_file");
        find(read_module, "read_module_section");
        find(read_domain, "read_virtual_domain");
        find(put, "put_elem");
        find(choose, "check_address");
        find(fill_names, "init_vect");
        find(log, "logging");
        find(closing, "connection_closing");
        find(methods, "methods_string");
        find(statuses, "statusr");
    }
    template <typename T>
    void find(T &symbol, const char *name) {
        symbol = reinterpret_cast<T>(dlsym(handle, name));
        if (symbol == nullptr) error += std::string(" missing ") + name;
    }
};

inline const journal_library &library() {
    static const journal_library loaded;
    return loaded;
}

// A fresh directory under /tmp, removed with its contents.
class scratch_dir {
public:
    scratch_dir() {
        char pattern[] = "/tmp/tvn-journal-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = std::string(pattern) + "/";
    }
    ~scratch_dir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string &relative) const { return path_ + relative; }
    void write(const std::string &relative, const std::string &text) const {
        std::ofstream(file(relative), std::ios::binary) << text;
    }
    std::string read(const std::string &relative) const {
        std::ifstream in(file(relative), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string path_;
};

// The number of descriptors this process holds open.
inline int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

} // namespace journal_test
