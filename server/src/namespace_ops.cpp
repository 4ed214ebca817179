// DELETE, MKDIR, RENAME and COPYFILE: changes to the file tree, and server-side copies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "answer.h"
#include "connection.h"
#include "fhandler.h"
#include "handlers.h"
#include "hooks.h"
#include "local_path.h"
#include "os.h"
#include "pool.h"

namespace {

uint8_t answer_done(tvn_connection *connection) {
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_PLAIN, 0, connection->method, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    connection->request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_PLAIN));
}

uint8_t open_namespace_request(tvn_connection *connection) {
    tvn_request *request = connection->request;
    request->remote_path1 = connection->path1;
    request->remote_path2 = connection->path2; // RENAME only; NULL otherwise
    return translate_and_check(connection);
}

// The source range of a COPYFILE: its bytes and count, or a status (OK when read).
struct copy_source {
    uint8_t status = OK;
    uint8_t *data = nullptr;
    ssize_t count = 0;
};

copy_source read_copy_source(tvn_connection *connection) {
    tvn_request *request = connection->request;
    copy_source source;
    request->remote_path2 = connection->source_path;
    if ((source.status = translate_and_check(connection)) != OK) return source;
    const int fd = open_local(connection, request->local_path2, O_RDONLY, 0, links_followed(request));
    if (fd < 0) {
        source.status = errno_to_status(errno);
        return source;
    }
    if (connection->position < 0) { // what positioning the source would refuse
        os_close(fd);
        source.status = BAD_REQUEST;
        return source;
    }
    const uint32_t length = uint32_t(connection->length);
    source.data = static_cast<uint8_t *>(tvn_malloc(request->mpool->request_pool, length + 1));
    if (source.data == nullptr) {
        source.status = INTERNAL_SERVER_ERR;
    } else {
        source.count = pread(fd, source.data, length, connection->position);
        if (source.count < 0) source.status = errno == EBADF ? INVALID_HANDLE : ACCESS_DENIED;
    }
    os_close(fd);
    return source;
}

}  // namespace

extern "C" uint8_t errno_to_status(int error) {
    switch (error) {
    case ENOENT: return NOT_FOUND;
    case EBADF: return INVALID_HANDLE;
    case EACCES:
    case ELOOP: return ACCESS_DENIED; // ELOOP: a link the session may not follow
    case ENOSPC: return DISK_FULL;
    case ENOTEMPTY: return DIR_NOT_EMPTY;
    default: return BAD_REQUEST;
    }
}

// A directory is removed as a directory, anything else as a name. Where links are followed the
// status follows them (a link to a directory is then refused by the host); elsewhere a name
// that is a link by now is removed as the link it is.
uint8_t process_delete(tvn_connection *connection) {
    if (uint8_t status = open_namespace_request(connection); status != OK) return status;
    const bool follow = links_followed(connection->request);
    const parent_dir parent(connection, connection->request->local_path1, follow);
    if (!parent.opened()) return errno_to_status(errno);
    struct stat status_of_path {};
    if (fstatat(parent.fd(), parent.leaf(), &status_of_path, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return errno_to_status(errno);
    const int how = S_ISDIR(status_of_path.st_mode) ? AT_REMOVEDIR : 0;
    if (unlinkat(parent.fd(), parent.leaf(), how) != 0) return errno_to_status(errno);
    return answer_done(connection);
}

uint8_t process_mkdir(tvn_connection *connection) {
    if (uint8_t status = open_namespace_request(connection); status != OK) return status;
    const parent_dir parent(connection, connection->request->local_path1,
                            links_followed(connection->request));
    if (!parent.opened() || mkdirat(parent.fd(), parent.leaf(), 0755) != 0)
        return errno_to_status(errno);
    return answer_done(connection);
}

uint8_t process_rename(tvn_connection *connection) {
    if (uint8_t status = open_namespace_request(connection); status != OK) return status;
    tvn_request *request = connection->request;
    const bool follow = links_followed(request);
    const parent_dir from(connection, request->local_path1, follow);
    if (!from.opened()) return errno_to_status(errno);
    const parent_dir to(connection, request->local_path2, follow);
    if (!to.opened() || renameat(from.fd(), from.leaf(), to.fd(), to.leaf()) != 0)
        return errno_to_status(errno);
    return answer_done(connection);
}

uint8_t process_copyfile(tvn_connection *connection) {
    tvn_request *request = connection->request;
    uint8_t status = 0;
    const int destination =
        fhandler_pool_manager(connection, connection->handle, 0, nullptr, &status, FH_LOOK_UP);
    if (destination < 0) return status;
    request->seek = 0;
    request->length = 0;
    const copy_source source = read_copy_source(connection);
    if (source.status == INTERNAL_SERVER_ERR) return fail_without_answer(connection);
    if (source.status != OK) return source.status;
    // The same offset addresses both files: a range lands where it was in the source.
    uint32_t written = 0;
    if (connection->length == 0) {
        if (os_truncate(destination, nullptr, 0, connection->position) != 0)
            return errno == EBADF ? INVALID_HANDLE : DISK_FULL;
    } else if (source.count > 0) {
        const ssize_t put = pwrite(destination, source.data, size_t(source.count), connection->position);
        if (put < 0) return errno == EBADF ? INVALID_HANDLE : DISK_FULL;
        written = uint32_t(put);
    }
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_COUNT, 0, COPYFILE, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    put_u32(answer + TVN_FIXED_HEADER + 4, written);
    request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_COUNT));
}
