// The file handle pool: a most-recently-used list of handles whose first 20 hold descriptors.
#include "fhandler.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "connection.h"
#include "host_errors.h"
#include "local_path.h"
#include "os.h"
#include "pool.h"

namespace {

// Reopening a handle never creates, fails for exclusivity or truncates.
constexpr uint32_t NOT_ON_REOPEN = O_CREAT | O_EXCL | O_TRUNC;

void unlink_handle(fhandler_pool *pool, fhandler *handle) {
    if (handle->prev != nullptr)
        handle->prev->next = handle->next;
    else
        pool->head = handle->next;
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

handle_descriptor reopen(tvn_connection *connection, const fhandler *handle) {
    return open_local_file(connection, handle->path, int(handle->flags & ~NOT_ON_REOPEN),
                           handle->follow_links);
}

// Takes the handle out of the list: its descriptor, 0 when it had none. The freed descriptor
// slot goes to the first handle that had none; a handle whose file cannot be reopened there is
// dropped.
int32_t remove_handle(tvn_connection *connection, fhandler *target) {
    fhandler_pool *pool = connection->handles;
    int position = 0;
    for (fhandler *handle = pool->head; handle != target; handle = handle->next) ++position;
    if (position >= CACHED_DESCRIPTORS) {
        unlink_handle(pool, target);
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
    unlink_handle(pool, target);
    for (fhandler *waiting = at_position(pool, last); waiting != nullptr;) {
        const handle_descriptor reopened = reopen(connection, waiting);
        if (reopened.status == OK) {
            slots[last] = reopened.fd;
            break;
        }
        fhandler *dropped = waiting; // its file is gone or closed to us: the handle goes too
        waiting = waiting->next;
        unlink_handle(pool, dropped);
        tvn_free(pool->records, dropped);
    }
    return descriptor;
}

} // namespace

bool name_in_request(tvn_connection *connection, const fhandler *handle) {
    tvn_request *request = connection->request;
    const size_t length = std::strlen(handle->path) + 1;
    auto *copy = static_cast<char *>(tvn_malloc(request->mpool->request_pool, uint32_t(length)));
    if (copy == nullptr) {
        request->disconnect = 1;
        return false;
    }
    std::memcpy(copy, handle->path, length);
    request->local_path1 = copy;
    return true;
}

registered_handle register_handle(tvn_connection *connection, int descriptor, uint32_t flags,
                                  const char *path) {
    fhandler_pool *pool = connection->handles;
    if (pool->count >= MAX_HANDLES) return {0, NO_MORE_FILEHANDLES};
    const size_t path_length = std::strlen(path) + 1;
    auto *handle = static_cast<fhandler *>(
        tvn_malloc(pool->records, uint32_t(sizeof(fhandler) + path_length)));
    if (handle == nullptr) return {0, INTERNAL_SERVER_ERR};
    handle->path = reinterpret_cast<char *>(handle + 1);
    std::memcpy(handle->path, path, path_length);
    handle->flags = flags;
    handle->follow_links = links_followed(connection->request);
    if (++pool->last_number == 0) ++pool->last_number;
    handle->number = pool->last_number;
    insert_at_front(pool, handle, descriptor);
    return {handle->number, OK};
}

fhandler *find_handle(fhandler_pool *pool, uint32_t number) {
    if (number == 0) return nullptr;
    for (fhandler *handle = pool->head; handle != nullptr; handle = handle->next)
        if (handle->number == number) return handle; // compared, never trusted
    return nullptr;
}

handle_descriptor descriptor_of(tvn_connection *connection, fhandler *handle) {
    fhandler_pool *pool = connection->handles;
    handle_descriptor found{remove_handle(connection, handle), OK};
    if (found.fd == 0) {
        found = reopen(connection, handle);
        if (found.status != OK) {
            tvn_free(pool->records, handle);
            return found;
        }
    }
    insert_at_front(pool, handle, found.fd);
    return found;
}

uint8_t release_handle(tvn_connection *connection, fhandler *handle) {
    const int32_t descriptor = remove_handle(connection, handle);
    tvn_free(connection->handles->records, handle);
    return descriptor <= 0 || os_close(descriptor) == 0 ? uint8_t(OK)
                                                        : uint8_t(INTERNAL_SERVER_ERR);
}

handle_descriptor open_local_file(tvn_connection *connection, const char *path, int flags,
                                  bool follow_links) {
    const int fd = open_local(connection, path, flags, 0666, follow_links);
    if (fd < 0) return {-1, status_of_error(host_call::open, errno)};
    return {fd, OK};
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

// ---- The entry point by operation code -------------------------------------------------------

extern "C" int simple_openfile(const char *path, int flags, uint8_t *status) {
    const int descriptor = os_open(path, flags);
    *status = descriptor >= 0 ? uint8_t(OK) : open_errno_to_status(errno);
    return descriptor;
}

extern "C" int32_t fhandler_pool_manager(tvn_connection *connection, uint32_t handle_or_fd,
                                         uint32_t flags, const char *path, uint8_t *status,
                                         int operation) {
    *status = 0;
    if (operation == FH_REGISTER) {
        const registered_handle made = register_handle(connection, int(handle_or_fd), flags, path);
        if (made.status == INTERNAL_SERVER_ERR)
            connection->request->disconnect = 1;
        else
            *status = made.status == OK ? 0 : made.status;
        return made.status == OK ? int32_t(made.number) : -1;
    }
    if (operation != FH_RELEASE && operation != FH_LOOK_UP) return -1;
    fhandler *handle = find_handle(connection->handles, handle_or_fd);
    if (handle == nullptr) {
        *status = INVALID_HANDLE;
        return -1;
    }
    if (operation == FH_RELEASE) {
        if (!name_in_request(connection, handle)) return -1;
        const uint8_t released = release_handle(connection, handle);
        if (released != OK) *status = released;
        return released == OK ? 0 : -1;
    }
    const handle_descriptor found = descriptor_of(connection, handle);
    if (found.status != OK) {
        *status = found.status;
        return -1;
    }
    *status = OK;
    return name_in_request(connection, handle) ? found.fd : -1;
}
