// The file handle pool: a most-recently-used list of handles whose first 20 hold descriptors.
#include "fhandler.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "connection.h"
#include "local_path.h"
#include "os.h"
#include "pool.h"

namespace {

// Reopening a handle never creates, fails for exclusivity or truncates.
constexpr uint32_t NOT_ON_REOPEN = O_CREAT | O_EXCL | O_TRUNC;

void unlink_handle(fhandler_pool *pool, fhandler *handle) {
    if (handle->prev != nullptr) handle->prev->next = handle->next;
    else pool->head = handle->next;
    if (handle->next != nullptr) handle->next->prev = handle->prev;
    handle->prev = handle->next = nullptr;
    --pool->count;
}

fhandler *at_position(fhandler_pool *pool, int position) {
    fhandler *handle = pool->head;
    for (int i = 0; handle != nullptr && i < position; ++i) handle = handle->next;
    return handle;
}

void insert_at_front(fhandler_pool *pool, fhandler *handle, int32_t descriptor) {
    int32_t *slots = pool->descriptors;
    if (slots[CACHED_DESCRIPTORS - 1] != -1) os_close(slots[CACHED_DESCRIPTORS - 1]);
    std::memmove(slots + 1, slots, (CACHED_DESCRIPTORS - 1) * sizeof *slots);
    slots[0] = descriptor;
    handle->prev = nullptr;
    handle->next = pool->head;
    if (pool->head != nullptr) pool->head->prev = handle;
    pool->head = handle;
    ++pool->count;
}

// Takes the handle out of the list: its descriptor, 0 when it had none, -1 when it is not in
// the list. The freed descriptor slot goes to the first handle that had none.
int32_t remove_handle(tvn_connection *connection, fhandler *target) {
    fhandler_pool *pool = connection->handles;
    int position = 0;
    fhandler *handle = pool->head;
    while (handle != nullptr && handle != target) {
        handle = handle->next;
        ++position;
    }
    if (handle == nullptr) return -1;
    if (position >= CACHED_DESCRIPTORS) {
        unlink_handle(pool, handle);
        return 0;
    }
    int32_t *slots = pool->descriptors;
    const int32_t descriptor = slots[position];
    int last = position;
    for (int k = position + 1; k < CACHED_DESCRIPTORS && slots[k] != -1; ++k) {
        slots[k - 1] = slots[k];
        last = k;
    }
    slots[last] = -1;
    unlink_handle(pool, handle);
    for (fhandler *waiting = at_position(pool, last); waiting != nullptr;) {
        const int reopened = open_local(connection, waiting->path,
                                        int(waiting->flags & ~NOT_ON_REOPEN), 0666,
                                        waiting->follow_links);
        if (reopened >= 0) {
            slots[last] = reopened;
            break;
        }
        fhandler *dropped = waiting; // its file is gone or closed to us: the handle goes too
        waiting = waiting->next;
        unlink_handle(pool, dropped);
        tvn_free(pool->records, dropped);
    }
    return descriptor;
}

// The live handle with this number, or NULL. The number is compared, never trusted.
fhandler *find(fhandler_pool *pool, uint32_t number) {
    if (number == 0) return nullptr;
    for (fhandler *handle = pool->head; handle != nullptr; handle = handle->next)
        if (handle->number == number) return handle;
    return nullptr;
}

bool copy_path_to_request(tvn_connection *connection, const char *path) {
    tvn_request *request = connection->request;
    const size_t length = std::strlen(path) + 1;
    auto *copy = static_cast<char *>(tvn_malloc(request->mpool->request_pool, uint32_t(length)));
    if (copy == nullptr) {
        request->disconnect = 1;
        return false;
    }
    std::memcpy(copy, path, length);
    request->local_path1 = copy;
    return true;
}

int32_t register_handle(tvn_connection *connection, int32_t descriptor, uint32_t flags,
                        const char *path, uint8_t *status) {
    fhandler_pool *pool = connection->handles;
    if (pool->count >= MAX_HANDLES) {
        *status = NO_MORE_FILEHANDLES;
        return -1;
    }
    const size_t path_length = std::strlen(path) + 1;
    auto *handle = static_cast<fhandler *>(
        tvn_malloc(pool->records, uint32_t(sizeof(fhandler) + path_length)));
    if (handle == nullptr) {
        connection->request->disconnect = 1;
        return -1;
    }
    handle->path = reinterpret_cast<char *>(handle + 1);
    std::memcpy(handle->path, path, path_length);
    handle->flags = flags;
    handle->follow_links = links_followed(connection->request);
    if (++pool->last_number == 0) ++pool->last_number;
    handle->number = pool->last_number;
    insert_at_front(pool, handle, descriptor);
    return int32_t(handle->number);
}

int32_t look_up_handle(tvn_connection *connection, uint32_t number, uint8_t *status) {
    fhandler_pool *pool = connection->handles;
    fhandler *handle = find(pool, number);
    if (handle == nullptr) {
        *status = INVALID_HANDLE;
        return -1;
    }
    int32_t descriptor = remove_handle(connection, handle);
    if (descriptor == 0) {
        descriptor = open_local_file(connection, handle->path, int(handle->flags & ~NOT_ON_REOPEN),
                                     handle->follow_links, status);
        if (descriptor < 0) {
            tvn_free(pool->records, handle);
            return -1;
        }
    }
    insert_at_front(pool, handle, descriptor);
    return copy_path_to_request(connection, handle->path) ? descriptor : -1;
}

int32_t release_handle(tvn_connection *connection, uint32_t number, uint8_t *status) {
    fhandler_pool *pool = connection->handles;
    fhandler *handle = find(pool, number);
    if (handle == nullptr) {
        *status = INVALID_HANDLE;
        return -1;
    }
    const int32_t descriptor = remove_handle(connection, handle);
    const bool closed = descriptor <= 0 || os_close(descriptor) == 0;
    const bool copied = copy_path_to_request(connection, handle->path);
    tvn_free(pool->records, handle);
    if (!closed) {
        *status = INTERNAL_SERVER_ERR;
        return -1;
    }
    return copied ? 0 : -1;
}

}  // namespace

extern "C" uint8_t open_errno_to_status(int error) {
    switch (error) {
    case ENOENT: return NOT_FOUND;
    case EEXIST: return FILE_EXISTS;
    case EINVAL: return INVALID_OPENMODE;
    case EMFILE: return NO_MORE_FILEHANDLES;
    default: return ACCESS_DENIED;
    }
}

extern "C" int simple_openfile(const char *path, int flags, uint8_t *status) {
    const int descriptor = os_open(path, flags);
    *status = descriptor >= 0 ? uint8_t(OK) : open_errno_to_status(errno);
    return descriptor;
}

int open_local_file(tvn_connection *connection, const char *path, int flags, bool follow_links,
                    uint8_t *status) {
    const int descriptor = open_local(connection, path, flags, 0666, follow_links);
    *status = descriptor >= 0 ? uint8_t(OK) : open_errno_to_status(errno);
    return descriptor;
}

extern "C" int32_t fhandler_pool_manager(tvn_connection *connection, uint32_t handle_or_fd,
                                         uint32_t flags, const char *path, uint8_t *status,
                                         int operation) {
    *status = 0;
    switch (operation) {
    case FH_RELEASE: return release_handle(connection, handle_or_fd, status);
    case FH_REGISTER:
        return register_handle(connection, int32_t(handle_or_fd), flags, path, status);
    case FH_LOOK_UP: return look_up_handle(connection, handle_or_fd, status);
    default: return -1;
    }
}

fhandler_pool *create_fhandler_pool(tvn_pool *connection_pool) {
    auto *pool = static_cast<fhandler_pool *>(tvn_malloc(connection_pool, sizeof(fhandler_pool)));
    auto *records = static_cast<tvn_pool *>(tvn_malloc(connection_pool, sizeof(tvn_pool)));
    void *slots = tvn_malloc(connection_pool, MAX_HANDLES * sizeof(void *));
    if (pool == nullptr || records == nullptr || slots == nullptr) return nullptr;
    std::memset(pool, 0, sizeof *pool);
    std::memset(slots, 0, MAX_HANDLES * sizeof(void *));
    for (int32_t &descriptor : pool->descriptors) descriptor = -1;
    *records = tvn_pool{MAX_HANDLES, 0, static_cast<void **>(slots)};
    pool->records = records;
    return pool;
}

void release_fhandler_pool(fhandler_pool *pool) {
    for (int32_t descriptor : pool->descriptors)
        if (descriptor > 0) os_close(descriptor);
    tvn_clear_pool(pool->records);
}
