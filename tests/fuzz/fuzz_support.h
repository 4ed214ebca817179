// What the fuzz targets share: a scratch directory of their own, a guard that works inside it
// and comes back, a quiet standard output, input splitting, and the checks that end a run.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tvn_fuzz {

// A failed invariant is a finding: libFuzzer saves the input that led here.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void require(bool holds, const char *what) {
    if (!holds) fail(what);
}

// The code under test prints its messages on standard output; thousands of runs a second of
// them would drown libFuzzer's own report (on standard error).
inline void quiet_standard_output() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence standard output");
}

// Where scratch directories go: $TMPDIR when set, else memory (/dev/shm) when the host has
// it, since a file rewritten thousands of times a second on a disk waits for the disk.
inline std::string scratch_base() {
    const char *base = std::getenv("TMPDIR");
    if (base != nullptr && *base != '\0') return base;
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

// A fresh directory for the whole run, removed when the run ends normally; the path ends in
// "/".
inline const std::string &scratch_directory() {
    // Never destroyed: the clean-up at exit still needs it.
    static const std::string *const path = [] {
        std::string pattern = scratch_base() + "/tvn-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) fail("cannot make a scratch directory");
        return new std::string(pattern + "/");
    }();
    static const bool cleaned_at_exit = std::atexit([] {
                                            std::error_code ignored;
                                            std::filesystem::remove_all(*path, ignored);
                                        }) == 0;
    (void)cleaned_at_exit;
    return *path;
}

// Works in a directory and goes back on leaving, so that libFuzzer's relative paths (corpus,
// artifacts) keep meaning what they meant.
class working_in {
public:
    explicit working_in(const std::string &directory)
            : previous_(open(".", O_RDONLY | O_DIRECTORY)) {
        if (previous_ < 0 || chdir(directory.c_str()) != 0)
            fail("cannot enter the scratch directory");
    }
    ~working_in() {
        if (fchdir(previous_) != 0) fail("cannot leave the scratch directory");
        close(previous_);
    }
    working_in(const working_in &) = delete;
    working_in &operator=(const working_in &) = delete;

private:
    int previous_;
};

inline void write_file(const std::string &path, std::string_view contents) {
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write a scratch file");
    if (!contents.empty() &&
        std::fwrite(contents.data(), 1, contents.size(), file) != contents.size())
        fail("cannot write a scratch file");
    std::fclose(file);
}

inline std::string read_file(const std::string &path) {
    std::string contents;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) fail("cannot read a scratch file");
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
        contents.append(block, got);
    std::fclose(file);
    return contents;
}

// The names in a directory, "." and ".." left out.
inline std::vector<std::string> directory_names(const std::string &path) {
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) fail("cannot list a scratch directory");
    while (const dirent *entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(dir);
    return names;
}

// Removes everything in a directory but the names kept.
inline void empty_directory(const std::string &path, const std::vector<std::string> &kept = {}) {
    for (const std::string &name : directory_names(path)) {
        bool keep = false;
        for (const std::string &k : kept) keep = keep || k == name;
        std::error_code ignored;
        if (!keep) std::filesystem::remove_all(path + name, ignored);
    }
}

// Descriptors open in this process, to prove that an input left none behind.
inline int open_descriptor_count() { return int(directory_names("/proc/self/fd").size()); }

// Reads an input front to back: fixed-width fields first, then NUL-ended texts, then the rest.
class input_reader {
public:
    input_reader(const uint8_t *data, std::size_t size)
            : rest_(reinterpret_cast<const char *>(data), size) {}

    uint8_t byte() {
        if (rest_.empty()) return 0;
        const auto value = uint8_t(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= uint32_t(byte()) << (8 * i);
        return value;
    }
    // The text up to the next NUL (consumed) or the end of the input.
    std::string text() {
        const std::size_t end = rest_.find('\0');
        std::string value(rest_.substr(0, end));
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return value;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

} // namespace tvn_fuzz
