// The file handle pool of a connection: up to 200 open handles over at most 20 descriptors.
// The 20 most recently used handles keep their descriptors; the others are reopened from their
// path (never creating, truncating or failing for exclusivity) when they are used again.
#pragma once

#include <cstdint>

#include "tolvane/module.h"

struct tvn_connection;

inline constexpr int CACHED_DESCRIPTORS = 20;
inline constexpr int MAX_HANDLES = 200;

// One open handle: the record and its path share one block of the handle pool's memory.
struct fhandler {
    fhandler *prev;
    fhandler *next;
    char *path; // local path the file was opened with
    uint32_t flags; // host open flags it was opened with
    uint32_t number; // the handle the client sees
    bool follow_links; // whether the session could follow links when it was opened
};

struct fhandler_pool {
    fhandler *head; // most recently used first
    int32_t count;
    int32_t descriptors[CACHED_DESCRIPTORS]; // of the handles at list positions 0..19; -1: none
    uint32_t last_number; // handle numbers are never reused within a connection
    tvn_pool *records;    // MAX_HANDLES slots, one block per handle
};

enum fhandler_operation : int { FH_RELEASE = 1, FH_REGISTER = 2, FH_LOOK_UP = 4 };

extern "C" {
// FH_RELEASE (handle): 0, or -1 with the status. FH_REGISTER (descriptor, flags, path): the new
// handle, or -1 with the status (NO_MORE_FILEHANDLES; 0 with the connection marked for closing
// when memory ran out). FH_LOOK_UP (handle): its descriptor, or -1 with the status. Release and
// look-up copy the handle's path into the request's local_path1. *status is cleared on entry.
int32_t fhandler_pool_manager(tvn_connection *connection, uint32_t handle_or_fd, uint32_t flags,
                              const char *path, uint8_t *status, int operation);
// Opens path with flags (0666 for a created file): the descriptor with status OK, or -1.
int simple_openfile(const char *path, int flags, uint8_t *status);
}

// The same for a path of the connection, resolved as local_path.h says.
int open_local_file(tvn_connection *connection, const char *path, int flags, bool follow_links,
                    uint8_t *status);

extern "C" {
uint8_t open_errno_to_status(int error);
}

// The handle pool of a new connection, from its connection pool; NULL when memory is short.
fhandler_pool *create_fhandler_pool(tvn_pool *connection_pool);
// Closes every cached descriptor and releases the handle records.
void release_fhandler_pool(fhandler_pool *pool);
