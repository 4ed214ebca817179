// OPEN, READ, WRITE and CLOSE: file contents through the connection's handles. Every READ
// and WRITE names its offset; the server keeps no file position between requests.
#include <fcntl.h>
#include <sys/stat.h>

#include "answer.h"
#include "connection.h"
#include "fhandler.h"
#include "file_range.h"
#include "handlers.h"
#include "hooks.h"
#include "local_path.h"
#include "os.h"
#include "parsed_request.h"

using tvn_wire::put_le32;

namespace {

// The client's open mode in host flags: the first of read, write, read-write decides the access
// (none: read only); create, exclusive and truncate add their flags; other bits are ignored.
uint32_t host_open_flags(uint32_t mode) {
    uint32_t flags = O_RDONLY;
    if ((mode & TVN_OPEN_READ) == 0) {
        if (mode & TVN_OPEN_WRITE)
            flags = O_WRONLY;
        else if (mode & TVN_OPEN_READ_WRITE)
            flags = O_RDWR;
    }
    if (mode & TVN_OPEN_CREATE) flags |= O_CREAT;
    if (mode & TVN_OPEN_EXCLUSIVE) flags |= O_EXCL;
    if (mode & TVN_OPEN_TRUNCATE) flags |= O_TRUNC;
    return flags;
}

// The handle a READ or WRITE names, its file as local_path1, and the access chain's word on it;
// only then is its descriptor taken (reopening the file if need be).
struct transfer_target {
    int fd = -1;
    uint8_t status = OK; // OK when fd holds; 0 when the connection is closing
};

transfer_target open_target(tvn_connection *connection, uint32_t number) {
    tvn_request *request = connection->request;
    fhandler *handle = find_handle(connection->handles, number);
    if (handle == nullptr) return {-1, INVALID_HANDLE};
    if (!name_in_request(connection, handle)) return {-1, 0};
    request->seek = 0;
    request->length = 0;
    if (uint8_t verdict = mod_access_check(connection); verdict != OK) return {-1, verdict};
    const handle_descriptor found = descriptor_of(connection, handle);
    return {found.fd, found.status};
}

} // namespace

outcome process_open(tvn_connection *connection, const parsed_request &parsed) {
    tvn_request *request = connection->request;
    const uint32_t flags = host_open_flags(parsed.options);
    request->method_options = flags;
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);
    const handle_descriptor opened =
        open_local_file(connection, request->local_path1, int(flags), links_followed(request));
    if (opened.status != OK) return outcome::refusal(opened.status);
    const registered_handle handle =
        register_handle(connection, opened.fd, flags, request->local_path1);
    if (handle.status != OK) {
        os_close(opened.fd);
        if (handle.status == INTERNAL_SERVER_ERR) {
            request->disconnect = 1;
            return outcome::closing();
        }
        return outcome::refusal(handle.status);
    }
    struct stat status_of_file {};
    const bool sized = fstat(opened.fd, &status_of_file) == 0; // the file just opened
    return plain_answer(connection, TVN_ANSWER_OPEN, OPEN, OK, [&](uint8_t *params) {
        put_le32(params + 4, handle.number);
        if (sized) put_le32(params + 8, uint32_t(status_of_file.st_size));
    });
}

outcome process_read(tvn_connection *connection, const parsed_request &parsed) {
    const transfer_target target = open_target(connection, parsed.handle);
    if (target.status != OK) return refused_by(target.status);
    const uint32_t length = uint32_t(parsed.length);
    // The data land right behind the header: one buffer, one send.
    uint8_t *answer = prepare_data_answer(connection, TVN_ANSWER_PLAIN, length, READ, OK);
    if (answer == nullptr) return outcome::unanswerable();
    const range_result got =
        read_range(target.fd, answer + TVN_ANSWER_PLAIN, length, parsed.position);
    if (got.status != OK) return outcome::refusal(got.status);
    put_le32(answer + TVN_OFF_BODY_LENGTH, got.count);
    return outcome::answer(answer, TVN_ANSWER_PLAIN + got.count, OK);
}

outcome process_write(tvn_connection *connection, const parsed_request &parsed) {
    const transfer_target target = open_target(connection, parsed.handle);
    if (target.status != OK) return refused_by(target.status);
    const auto length = uint32_t(parsed.length);
    const range_result put = put_range(target.fd, parsed.position, length, parsed.data, length);
    if (put.status != OK) return outcome::refusal(put.status);
    return plain_answer(connection, TVN_ANSWER_COUNT, WRITE, OK,
                        [&](uint8_t *params) { put_le32(params + 4, put.count); });
}

outcome process_close(tvn_connection *connection, const parsed_request &parsed) {
    fhandler *handle = find_handle(connection->handles, parsed.handle);
    if (handle == nullptr) return outcome::refusal(INVALID_HANDLE);
    if (!name_in_request(connection, handle)) return outcome::closing(); // for the journal
    if (uint8_t released = release_handle(connection, handle); released != OK)
        return outcome::refusal(released);
    return plain_answer(connection, TVN_ANSWER_PLAIN, CLOSE, OK, [](uint8_t *) {});
}
