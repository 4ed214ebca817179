// The mount's answers to the kernel, in libfuse's high-level form: paths in, 0 or -errno out.
// fuse_entries.cpp serves names and directories, fuse_files.cpp open files, fuse_refusals.cpp
// what the server cannot store (modes, owners, times, links).
#pragma once

#include <fuse.h>

#include <memory>
#include <string>

#include "mount_context.h"

namespace tvnmount::handlers {

mount_context &context();

// The gathered small writes of a file (whose lock the caller holds) as one WRITE; the kept
// listing learns the size they reached.
int push_pending(mount_context &mount, open_file &file);
// push_pending for every open file at `path` (with `below`, also under it) but `except`, before
// an operation that must see their writes. A failure is theirs: each file's next flush reports
// it to its own writer.
void push_pending_at(mount_context &mount, const std::string &path, bool below,
                     const open_file *except = nullptr);
// The path an operation on an open file names: libfuse's, or the file's own when libfuse has
// none to give.
std::string path_of(mount_context &mount, const char *path, const fuse_file_info *info);

int getattr(const char *path, struct stat *into, fuse_file_info *file);
int readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t offset,
            fuse_file_info *file, fuse_readdir_flags flags);
int mkdir(const char *path, mode_t mode);
int unlink(const char *path);
int rmdir(const char *path);
int rename(const char *from, const char *to, unsigned int flags);
int statfs(const char *path, struct statvfs *into);

int create(const char *path, mode_t mode, fuse_file_info *file);
int open(const char *path, fuse_file_info *file);
int read(const char *path, char *buffer, size_t size, off_t offset, fuse_file_info *file);
int write(const char *path, const char *data, size_t size, off_t offset, fuse_file_info *file);
int flush(const char *path, fuse_file_info *file);
int fsync(const char *path, int data_only, fuse_file_info *file);
int release(const char *path, fuse_file_info *file);
int truncate(const char *path, off_t size, fuse_file_info *file);

int chmod(const char *path, mode_t mode, fuse_file_info *file);
int chown(const char *path, uid_t owner, gid_t group, fuse_file_info *file);
int utimens(const char *path, const struct timespec times[2], fuse_file_info *file);
int link(const char *from, const char *to);
int symlink(const char *target, const char *path);
int mknod(const char *path, mode_t mode, dev_t device);

} // namespace tvnmount::handlers
