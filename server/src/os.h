// The operating-system layer: thin wrappers over host calls (results and errno pass through
// untouched) and the one with real logic, os_getdir_element.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "export.h"

struct tvn_connection;

// One directory entry as os_getdir_element delivers it.
struct dir_entry {
    char *name;     // caller-owned buffer of DIR_ENTRY_NAME_SIZE bytes
    uint8_t is_dir; // of the entry, or of the target of a shown symbolic link
    int32_t mtime;
    int32_t size;
};
inline constexpr int DIR_ENTRY_NAME_SIZE = 512;

// A listing's stream slot: the caller keeps one per listing, starting at DIR_STREAM_UNOPENED.
using dir_stream = void *;
inline dir_stream const DIR_STREAM_UNOPENED = reinterpret_cast<dir_stream>(-1);

extern "C" {
TVN_EXPORT int os_open(const char *path, int flags); // permission bits 0666 for a created file
TVN_EXPORT int os_close(int fd);
TVN_EXPORT long os_read(int fd, void *buffer, unsigned long count);
TVN_EXPORT long os_write(int fd, const void *buffer, unsigned long count);
TVN_EXPORT long os_lseek(int fd, long offset, int whence);
TVN_EXPORT int os_truncate(int fd, const void *data, int unused, long length);
TVN_EXPORT int os_stat(const char *path, struct stat *status); // follows symbolic links
TVN_EXPORT int os_isdir(const struct stat *status);
TVN_EXPORT int os_mkdir(const char *path); // 0755 before the umask
TVN_EXPORT int os_rmdir(const char *path);
TVN_EXPORT int os_unlink(const char *path);
TVN_EXPORT int os_rename(const char *old_path, const char *new_path);
TVN_EXPORT void *os_dll_open(const char *path); // prints the loader's error text on failure
TVN_EXPORT void *os_dll_load_function(void *library, const char *symbol);
TVN_EXPORT int os_dll_close(void *library);
TVN_EXPORT int os_get_id(void);
TVN_EXPORT void os_endthread(void);
TVN_EXPORT tvn_connection *os_dup_list(tvn_connection *connection);

// Reads the next visible entry of the directory named by the request's local_path1 (opened
// as local_path.h says). 0: one entry delivered; 1: end of the directory (stream closed);
// 9 NOT_FOUND: the directory cannot be opened, or 13 ACCESS_DENIED: a link on its way may not
// be followed (slot left unopened). Symbolic links are shown only with TVN_LINK_SHOW in the
// request's link_permission, and then described by their target when it can be reached.
TVN_EXPORT int os_getdir_element(tvn_connection *connection, dir_stream *slot, dir_entry *entry);
}

// Closes a listing abandoned before its end; harmless on an unopened or finished slot.
void os_close_dir_stream(dir_stream *slot);
