// The operating-system layer of the server.
#include "os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "connection.h"
#include "local_path.h"

extern "C" {

int os_open(const char *path, int flags) { return open(path, flags, 0666); }
int os_close(int fd) { return close(fd); }
long os_read(int fd, void *buffer, unsigned long count) { return read(fd, buffer, count); }
long os_write(int fd, const void *buffer, unsigned long count) { return write(fd, buffer, count); }
long os_lseek(int fd, long offset, int whence) { return lseek(fd, offset, whence); }
int os_truncate(int fd, const void *, int, long length) { return ftruncate(fd, length); }
int os_stat(const char *path, struct stat *status) { return stat(path, status); }
int os_isdir(const struct stat *status) { return S_ISDIR(status->st_mode) ? 1 : 0; }
int os_mkdir(const char *path) { return mkdir(path, 0755); }
int os_rmdir(const char *path) { return rmdir(path); }
int os_unlink(const char *path) { return unlink(path); }
int os_rename(const char *old_path, const char *new_path) { return rename(old_path, new_path); }

void *os_dll_open(const char *path) {
    void *library = dlopen(path, RTLD_NOW);
    if (library == nullptr) std::printf("%s\n", dlerror());
    return library;
}

// Only the library's own definition counts: dlsym also searches the libraries it depends on,
// and the C library exports an init_module of its own (the kernel-module system call).
void *os_dll_load_function(void *library, const char *symbol) {
    void *address = dlsym(library, symbol);
    if (address == nullptr) return nullptr;
    link_map *own = nullptr;
    link_map *holder = nullptr;
    Dl_info info{};
    if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
        dladdr1(address, &info, reinterpret_cast<void **>(&holder), RTLD_DL_LINKMAP) == 0 ||
        holder != own)
        return nullptr;
    return address;
}
int os_dll_close(void *library) { return dlclose(library); }
int os_get_id(void) { return getpid(); }
void os_endthread(void) {}

tvn_connection *os_dup_list(tvn_connection *connection) {
    connection->modules = connection->server_conf->modules;
    return connection;
}

int os_getdir_element(tvn_connection *connection, dir_stream *slot, dir_entry *entry) {
    tvn_request *request = connection->request;
    if (*slot == DIR_STREAM_UNOPENED) {
        const int fd = open_local(connection, request->local_path1, O_RDONLY | O_DIRECTORY, 0,
                                  links_followed(request));
        if (fd < 0) return errno == ELOOP ? ACCESS_DENIED : NOT_FOUND; // ELOOP: a refused link
        DIR *opened = fdopendir(fd);
        if (opened == nullptr) {
            close(fd);
            return NOT_FOUND;
        }
        *slot = opened;
    }
    if (*slot == nullptr) return OK; // already exhausted and closed
    auto *stream = static_cast<DIR *>(*slot);
    // The status is taken through the open directory: the same file as the full path names,
    // without walking every component of that path again for each of thousands of entries.
    const int directory = dirfd(stream);
    // Skipped entries loop here, so any number of them is read in constant stack depth.
    for (;;) {
        const dirent *found = readdir(stream);
        if (found == nullptr) {
            closedir(stream);
            *slot = nullptr;
            return OK;
        }
        struct stat status {};
        if (fstatat(directory, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(status.st_mode)) {
            if ((request->link_permission & TVN_LINK_SHOW) == 0) continue;
            struct stat target {};
            if (fstatat(directory, found->d_name, &target, 0) == 0)
                status = target; // a dangling link stays itself
        }
        // A host name is at most 255 bytes, but the buffer's size is what bounds the copy.
        const size_t copied = std::min(std::strlen(found->d_name), size_t(DIR_ENTRY_NAME_SIZE - 1));
        std::memcpy(entry->name, found->d_name, copied);
        entry->name[copied] = '\0';
        entry->is_dir = S_ISDIR(status.st_mode) ? 1 : 0;
        entry->mtime = int32_t(status.st_mtime);
        entry->size = int32_t(status.st_size);
        return 0;
    }
}

} // extern "C"

void os_close_dir_stream(dir_stream *slot) {
    if (*slot != DIR_STREAM_UNOPENED && *slot != nullptr) closedir(static_cast<DIR *>(*slot));
    *slot = DIR_STREAM_UNOPENED;
}
