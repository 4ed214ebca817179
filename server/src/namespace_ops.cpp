// DELETE, MKDIR, RENAME and COPYFILE: changes to the file tree, and server-side copies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "answer.h"
#include "connection.h"
#include "fhandler.h"
#include "file_range.h"
#include "handlers.h"
#include "hooks.h"
#include "host_errors.h"
#include "local_path.h"
#include "os.h"
#include "parsed_request.h"
#include "pool.h"

using tvn_wire::put_le32;

namespace {

outcome done(tvn_connection *connection) {
    return plain_answer(connection, TVN_ANSWER_PLAIN, connection->request->method, OK,
                        [](uint8_t *) {});
}

outcome name_change_failed() {
    return outcome::refusal(status_of_error(host_call::name_change, errno));
}

// The source range of a COPYFILE: its bytes and count, or a status (OK when read; 0 when the
// connection is closing).
struct copy_source {
    uint8_t status = OK;
    uint8_t *data = nullptr;
    uint32_t count = 0;
};

copy_source read_copy_source(tvn_connection *connection, const parsed_request &parsed) {
    tvn_request *request = connection->request;
    copy_source source;
    if ((source.status = translate_and_check(connection)) != OK) return source;
    const int fd =
        open_local(connection, request->local_path2, O_RDONLY, 0, links_followed(request));
    if (fd < 0) {
        source.status = status_of_error(host_call::name_change, errno);
        return source;
    }
    const auto length = uint32_t(parsed.length);
    source.data = static_cast<uint8_t *>(tvn_malloc(request->mpool->request_pool, length + 1));
    if (source.data == nullptr) {
        source.status = INTERNAL_SERVER_ERR;
    } else {
        const range_result got = read_range(fd, source.data, length, parsed.position);
        source.status = got.status;
        source.count = got.count;
    }
    os_close(fd);
    return source;
}

} // namespace

// A directory is removed as a directory, anything else as a name. Where links are followed the
// status follows them (a link to a directory is then refused by the host); elsewhere a name
// that is a link by now is removed as the link it is.
outcome process_delete(tvn_connection *connection, const parsed_request &) {
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);
    const bool follow = links_followed(connection->request);
    const parent_dir parent(connection, connection->request->local_path1, follow);
    if (!parent.opened()) return name_change_failed();
    struct stat status_of_path {};
    if (fstatat(parent.fd(), parent.leaf(), &status_of_path, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return name_change_failed();
    const int how = S_ISDIR(status_of_path.st_mode) ? AT_REMOVEDIR : 0;
    if (unlinkat(parent.fd(), parent.leaf(), how) != 0) return name_change_failed();
    return done(connection);
}

outcome process_mkdir(tvn_connection *connection, const parsed_request &) {
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);
    const parent_dir parent(connection, connection->request->local_path1,
                            links_followed(connection->request));
    if (!parent.opened() || mkdirat(parent.fd(), parent.leaf(), 0755) != 0)
        return name_change_failed();
    return done(connection);
}

outcome process_rename(tvn_connection *connection, const parsed_request &) {
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);
    tvn_request *request = connection->request;
    const bool follow = links_followed(request);
    const parent_dir from(connection, request->local_path1, follow);
    if (!from.opened()) return name_change_failed();
    const parent_dir to(connection, request->local_path2, follow);
    if (!to.opened() || renameat(from.fd(), from.leaf(), to.fd(), to.leaf()) != 0)
        return name_change_failed();
    return done(connection);
}

// The same offset addresses both files: a range lands where it was in the source.
outcome process_copyfile(tvn_connection *connection, const parsed_request &parsed) {
    tvn_request *request = connection->request;
    fhandler *handle = find_handle(connection->handles, parsed.handle);
    if (handle == nullptr) return outcome::refusal(INVALID_HANDLE);
    if (!name_in_request(connection, handle)) return outcome::closing(); // the destination's file
    request->seek = 0;
    request->length = 0;
    const copy_source source = read_copy_source(connection, parsed);
    if (source.status == INTERNAL_SERVER_ERR) return outcome::unanswerable();
    if (source.status != OK) return refused_by(source.status);
    const handle_descriptor destination = descriptor_of(connection, handle);
    if (destination.status != OK) return outcome::refusal(destination.status);
    const range_result put = put_range(destination.fd, parsed.position, uint32_t(parsed.length),
                                       source.data, source.count);
    if (put.status != OK) return outcome::refusal(put.status);
    return plain_answer(connection, TVN_ANSWER_COUNT, COPYFILE, OK,
                        [&](uint8_t *params) { put_le32(params + 4, put.count); });
}
