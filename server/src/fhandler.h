// The file handle pool of a connection: up to 200 open handles over at most 20 descriptors.
// The 20 most recently used handles keep their descriptors; the others are reopened from their
// path (never creating, truncating or failing for exclusivity) when they are used again.
#pragma once

#include <cstdint>

#include "export.h"
#include "tolvane/module.h"

struct tvn_connection;

inline constexpr int CACHED_DESCRIPTORS = 20;
inline constexpr int MAX_HANDLES = 200;

// One open handle: the record and its path share one block of the handle pool's memory.
struct fhandler {
    fhandler *prev;
    fhandler *next;
    char *path;        // local path the file was opened with
    uint32_t flags;    // host open flags it was opened with
    uint32_t number;   // the handle the client sees
    bool follow_links; // whether the session could follow links when it was opened
};

struct fhandler_pool {
    fhandler *head; // most recently used first
    int32_t count;
    int32_t descriptors[CACHED_DESCRIPTORS]; // of the handles at list positions 0..19; -1: none
    uint32_t last_number;                    // handle numbers are never reused within a connection
    tvn_pool *records;                       // MAX_HANDLES slots, one block per handle
};

// The handle pool of a new connection, from its connection pool; NULL when memory is short.
fhandler_pool *create_fhandler_pool(tvn_pool *connection_pool);
// Closes every cached descriptor and releases the handle records.
void release_fhandler_pool(fhandler_pool *pool);

// A handle number, or the status that refused it (OK when number holds).
struct registered_handle {
    uint32_t number = 0;
    uint8_t status = OK;
};

// Registers a file just opened (descriptor, host flags, local path) at the front of the list.
// NO_MORE_FILEHANDLES with 200 handles open; INTERNAL_SERVER_ERR when memory is short. The
// descriptor stays the caller's on failure.
registered_handle register_handle(tvn_connection *connection, int descriptor, uint32_t flags,
                                  const char *path);
// The live handle with this number, or NULL (0 and unknown numbers). Changes nothing.
fhandler *find_handle(fhandler_pool *pool, uint32_t number);

// A descriptor, or the status of the failure (OK when fd holds).
struct handle_descriptor {
    int fd = -1;
    uint8_t status = OK;
};

// The handle's descriptor, reopening its file when it has none, and the handle moves to the
// front. A file that cannot be reopened drops the handle for good (its status then says why).
handle_descriptor descriptor_of(tvn_connection *connection, fhandler *handle);
// The handle's path as the request's local_path1 (request pool), for the access chain and the
// journal. False (and the connection closing) when memory is short.
bool name_in_request(tvn_connection *connection, const fhandler *handle);
// Closes the handle's descriptor and forgets the handle. OK, or INTERNAL_SERVER_ERR when the
// close failed (the handle is gone all the same).
uint8_t release_handle(tvn_connection *connection, fhandler *handle);

// Opens path with flags (0666 for a created file), resolved as local_path.h says: the
// descriptor with status OK, or -1 with the status.
handle_descriptor open_local_file(tvn_connection *connection, const char *path, int flags,
                                  bool follow_links);

enum fhandler_operation : int { FH_RELEASE = 1, FH_REGISTER = 2, FH_LOOK_UP = 4 };

extern "C" {
// The pool's entry point by operation code. FH_RELEASE (handle): 0, or -1 with the status.
// FH_REGISTER (descriptor, flags, path): the new handle, or -1 with the status. FH_LOOK_UP
// (handle): its descriptor, or -1 with the status. Release and look-up copy the handle's path
// into the request's local_path1. *status is cleared on entry.
TVN_EXPORT int32_t fhandler_pool_manager(tvn_connection *connection, uint32_t handle_or_fd,
                                         uint32_t flags, const char *path, uint8_t *status,
                                         int operation);
// Opens path with flags (0666 for a created file): the descriptor with status OK, or -1.
int simple_openfile(const char *path, int flags, uint8_t *status);
}
