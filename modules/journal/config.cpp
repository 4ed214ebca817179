// Reading the "mod_log" section at start-up: its VirtualDomain sections, each with a log file,
// the methods to log and the domains it serves. Records live in the start-up pool; the log
// files are opened here, in the main process, so that every worker inherits them.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "journal.h"
#include "line_reader.h"
#include "utils.h"

namespace {

constexpr long line_size = 100;

struct method_key {
    std::string_view key;
    uint8_t method;
};

constexpr method_key method_keys[] = {
    {"LogConnection", CONNECT}, {"LogDisconnect", DISCONNECT}, {"LogGetdir", GETDIR},
    {"LogOpenFile", OPEN},      {"LogReadFile", READ},         {"LogWriteFile", WRITE},
    {"LogCloseFile", CLOSE},    {"LogDelete", DELETE},         {"LogMakedir", MKDIR},
    {"LogRename", RENAME},      {"LogCopyfile", COPYFILE},     {"LogChangePwd", CHANGEPWD},
    {"LogSetTime", SETTIME},
};

int open_log_file(const char *path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool set_log_file(virtual_domain *record, const char *path, tvn_init_mpool *mpool) {
    // A file that cannot be opened leaves the section silent; it does not stop the server.
    // A repeated key replaces the earlier file.
    if (record->log_fd >= 0) close(record->log_fd);
    record->log_fd = open_log_file(path);
    mpool->tvn_free(mpool->init_pool, record->log_path);
    const size_t length = std::strlen(path) + 1;
    record->log_path = static_cast<char *>(mpool->tvn_malloc(mpool->init_pool, uint32_t(length)));
    if (record->log_path == nullptr) return false;
    std::memcpy(record->log_path, path, length);
    return true;
}

void release_list(virtual_domain *list, tvn_init_mpool *mpool) {
    while (list != nullptr) {
        virtual_domain *next = list->next;
        if (list->log_fd >= 0) close(list->log_fd);
        mpool->tvn_free(mpool->init_pool, list->log_path);
        release_names(mpool, list->aliases);
        mpool->tvn_free(mpool->init_pool, list);
        list = next;
    }
}

} // namespace

extern "C" int reopen_module_files(tvn_module *module) {
    for (auto *record = static_cast<virtual_domain *>(module->init_module_data); record != nullptr;
         record = record->next) {
        if (record->log_path == nullptr) continue;
        const int fresh = open_log_file(record->log_path);
        if (fresh < 0) continue; // the old file goes on receiving the lines
        if (record->log_fd < 0) {
            record->log_fd = fresh;
            continue;
        }
        dup3(fresh, record->log_fd, O_CLOEXEC);
        close(fresh);
    }
    return 1;
}

extern "C" int put_elem(virtual_domain *record, const char *key, const char *value,
                        tvn_init_mpool *mpool) {
    const std::string_view name(key);
    // Only the presence of a LogXxx key counts; its value is never looked at.
    for (const method_key &entry : method_keys) {
        if (name != entry.key) continue;
        record->method_mask |= uint32_t(1) << entry.method;
        return 0;
    }
    if (name == "LoggingFile") return set_log_file(record, value, mpool) ? 0 : -1;
    if (name == "Alias") return add_name(mpool, &record->aliases, value) ? 0 : -1;
    std::printf("Unknown field %s\n", key);
    return -1;
}

extern "C" int read_virtual_domain(FILE *fp, virtual_domain **list, tvn_init_mpool *mpool) {
    auto *record = static_cast<virtual_domain *>(
        mpool->tvn_malloc(mpool->init_pool, uint32_t(sizeof(virtual_domain))));
    if (record == nullptr) return -1;
    std::memset(record, 0, sizeof *record);
    record->log_fd = -1; // a section without "LoggingFile" logs nothing
    record->next = *list;
    *list = record;

    line_buffer line(line_size);
    if (!line.usable()) return -1;
    while (line.next(fp)) {
        if (find_tag(line.text, "/VirtualDomain") == 1) break;
        row words{};
        read_word(line.text, &words);
        const char *key = words.text[0];
        if (key[0] == '\0' || key[0] == '#') continue;
        if (put_elem(record, key, words.text[1], mpool) != 0) return -1;
    }
    return 0;
}

extern "C" int read_module_section(virtual_domain **list, tvn_init_mpool *mpool, FILE *fp) {
    line_buffer line(line_size);
    if (!line.usable()) return -1;
    // Lines outside the VirtualDomain sections are ignored.
    while (line.next(fp)) {
        if (find_tag(line.text, "/module") == 1) break;
        if (find_tag(line.text, "VirtualDomain") == 1 && read_virtual_domain(fp, list, mpool) != 0)
            return -1;
    }
    return 0;
}

extern "C" virtual_domain *read_config_file(tvn_init_mpool *mpool, const char *path) {
    FILE *fp = std::fopen(path, "r");
    if (fp == nullptr) return nullptr;
    virtual_domain *list = nullptr;
    const bool read = search_module(fp, "mod_log") == 0 &&
                      read_module_section(&list, mpool, fp) == 0 && list != nullptr;
    std::fclose(fp);
    if (read) return list;
    release_list(list, mpool);
    return nullptr;
}
