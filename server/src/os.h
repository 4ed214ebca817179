// The operating-system layer: thin wrappers over host calls (results and errno pass through
// untouched) and the one with real logic, os_getdir_element.
#pragma once

#include <sys/stat.h>

#include <cstdint>

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
int os_open(const char *path, int flags); // permission bits 0666 for a created file
int os_close(int fd);
long os_read(int fd, void *buffer, unsigned long count);
long os_write(int fd, const void *buffer, unsigned long count);
long os_lseek(int fd, long offset, int whence);
int os_truncate(int fd, const void *data, int unused, long length);
int os_stat(const char *path, struct stat *status); // follows symbolic links
int os_isdir(const struct stat *status);
int os_mkdir(const char *path); // 0755 before the umask
int os_rmdir(const char *path);
int os_unlink(const char *path);
int os_rename(const char *old_path, const char *new_path);
void *os_dll_open(const char *path); // prints the loader's error text on failure
void *os_dll_load_function(void *library, const char *symbol);
int os_dll_close(void *library);
int os_get_id(void);
void os_endthread(void);
tvn_connection *os_dup_list(tvn_connection *connection);

// Reads the next visible entry of the directory named by the request's local_path1.
// 0: one entry delivered; 1: end of the directory (stream closed); 9 NOT_FOUND: the directory
// cannot be opened (slot left unopened); 8 INTERNAL_SERVER_ERR: the request pool refused.
// Symbolic links are shown only with TVN_LINK_SHOW in the request's link_permission, and then
// described by their target when it can be reached.
int os_getdir_element(tvn_connection *connection, dir_stream *slot, dir_entry *entry);
}

// Closes a listing abandoned before its end; harmless on an unopened or finished slot.
void os_close_dir_stream(dir_stream *slot);
