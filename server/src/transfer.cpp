// OPEN, READ, WRITE and CLOSE: file contents through the connection's handles. Every READ
// and WRITE names its offset; the server keeps no file position between requests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "answer.h"
#include "connection.h"
#include "fhandler.h"
#include "handlers.h"
#include "hooks.h"
#include "local_path.h"
#include "os.h"

namespace {

// The client's open mode in host flags: the first of read, write, read-write decides the access
// (none: read only); create, exclusive and truncate add their flags; other bits are ignored.
uint32_t host_open_flags(uint32_t mode) {
    uint32_t flags = O_RDONLY;
    if ((mode & TVN_OPEN_READ) == 0) {
        if (mode & TVN_OPEN_WRITE) flags = O_WRONLY;
        else if (mode & TVN_OPEN_READ_WRITE) flags = O_RDWR;
    }
    if (mode & TVN_OPEN_CREATE) flags |= O_CREAT;
    if (mode & TVN_OPEN_EXCLUSIVE) flags |= O_EXCL;
    if (mode & TVN_OPEN_TRUNCATE) flags |= O_TRUNC;
    return flags;
}

// The handle's descriptor for READ and WRITE, after the access chain agreed; -1 with the status
// to answer (0: nothing to answer).
int open_handle_for_transfer(tvn_connection *connection, uint8_t *status) {
    tvn_request *request = connection->request;
    const int fd = fhandler_pool_manager(connection, connection->handle, 0, nullptr, status, FH_LOOK_UP);
    if (fd < 0) return -1;
    request->seek = 0;
    request->length = 0;
    *status = mod_access_check(connection);
    if (*status != OK) return -1;
    // A negative offset is what positioning the descriptor would refuse with EINVAL.
    if (connection->position < 0) {
        *status = BAD_REQUEST;
        return -1;
    }
    return fd;
}

}  // namespace

uint8_t process_open(tvn_connection *connection) {
    tvn_request *request = connection->request;
    const uint32_t flags = host_open_flags(connection->options);
    request->method_options = flags;
    request->remote_path1 = connection->path1;
    if (uint8_t status = translate_and_check(connection); status != OK) return status;
    uint8_t status = 0;
    const int fd = open_local_file(connection, request->local_path1, int(flags),
                                   links_followed(request), &status);
    if (fd < 0) return status;
    const int32_t handle = fhandler_pool_manager(connection, uint32_t(fd), flags,
                                                 request->local_path1, &status, FH_REGISTER);
    if (handle < 0) {
        os_close(fd);
        return status;
    }
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_OPEN, 0, OPEN, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    put_u32(answer + TVN_FIXED_HEADER + 4, uint32_t(handle));
    struct stat status_of_file {};
    if (fstat(fd, &status_of_file) == 0) // the file just opened, links followed
        put_u32(answer + TVN_FIXED_HEADER + 8, uint32_t(status_of_file.st_size));
    request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_OPEN));
}

uint8_t process_read(tvn_connection *connection) {
    uint8_t status = 0;
    const int fd = open_handle_for_transfer(connection, &status);
    if (fd < 0) return status;
    const uint32_t length = uint32_t(connection->length);
    // The data land right behind the header: one buffer, one send.
    uint8_t *answer = prepare_data_answer(connection, TVN_ANSWER_PLAIN, length, READ, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    const ssize_t got = pread(fd, answer + TVN_ANSWER_PLAIN, length, connection->position);
    if (got < 0) return errno == EBADF ? INVALID_HANDLE : ACCESS_DENIED;
    put_u32(answer + TVN_OFF_BODY_LENGTH, uint32_t(got));
    connection->request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_PLAIN + uint32_t(got)));
}

uint8_t process_write(tvn_connection *connection) {
    uint8_t status = 0;
    const int fd = open_handle_for_transfer(connection, &status);
    if (fd < 0) return status;
    uint32_t written = 0;
    if (connection->length == 0) {
        // A zero-length WRITE cuts (or extends with zeros) the file at the offset.
        if (os_truncate(fd, nullptr, 0, connection->position) != 0)
            return errno == EBADF ? INVALID_HANDLE : DISK_FULL;
    } else {
        const ssize_t put = pwrite(fd, connection->write_data, size_t(connection->length),
                                   connection->position);
        if (put < 0) return errno == EBADF ? INVALID_HANDLE : DISK_FULL;
        written = uint32_t(put);
    }
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_COUNT, 0, WRITE, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    put_u32(answer + TVN_FIXED_HEADER + 4, written);
    connection->request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_COUNT));
}

uint8_t process_close(tvn_connection *connection) {
    uint8_t status = 0;
    if (fhandler_pool_manager(connection, connection->handle, 0, nullptr, &status, FH_RELEASE) < 0)
        return status;
    uint8_t *answer = prepare_answer(connection, TVN_ANSWER_PLAIN, 0, CLOSE, OK);
    if (answer == nullptr) return fail_without_answer(connection);
    connection->request->response = OK;
    return uint8_t(send_answer(connection, answer, TVN_ANSWER_PLAIN));
}
