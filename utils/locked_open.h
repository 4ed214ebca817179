// Opening a database file under its lock, shared by the append and the field replacement.
#pragma once

#include <sys/types.h>

#include "account_db.h"

// Opens path with flags (and mode when creating) and takes tvn_lock on it. A rewrite may have
// renamed a new file over path between the open and the lock: the lock then guards a file
// nobody will read again, so the descriptor is checked against path (device and inode) and
// the file opened and locked anew. Returns the locked descriptor, or -1 with *result set to
// open_database (errno kept) or lock.
int open_locked(const char *path, int flags, mode_t mode, db_result *result);

// The same for name in the directory open as dir_fd (AT_FDCWD: the working directory). With
// O_NOFOLLOW in flags the check does not follow a link either.
int open_locked_at(int dir_fd, const char *name, int flags, mode_t mode, db_result *result);

// Releases the lock and closes fd.
void close_locked(int fd);
