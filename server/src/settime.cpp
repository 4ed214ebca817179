// SETTIME: a file's or directory's access and modification times, as a client that copies
// files with their times (an archiver, a mirror) sets them. Whole seconds, as listings show.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "answer.h"
#include "connection.h"
#include "handlers.h"
#include "host_errors.h"
#include "local_path.h"
#include "parsed_request.h"

namespace {

timespec requested_time(uint32_t options, uint32_t now_bit, uint32_t keep_bit, uint32_t seconds) {
    if ((options & keep_bit) != 0) return {0, UTIME_OMIT};
    if ((options & now_bit) != 0) return {0, UTIME_NOW};
    return {time_t(seconds), 0};
}

} // namespace

// The name is opened as every other name is (no link the session may not follow), and the
// times are set on what was opened, so nothing swapped in after the access check is touched.
outcome process_settime(tvn_connection *connection, const parsed_request &parsed) {
    if (uint8_t verdict = translate_and_check(connection); verdict != OK)
        return refused_by(verdict);
    tvn_request *request = connection->request;
    const timespec times[2] = {
        requested_time(parsed.options, TVN_SETTIME_ACCESS_NOW, TVN_SETTIME_ACCESS_KEEP,
                       parsed.access_time),
        requested_time(parsed.options, TVN_SETTIME_MODIFICATION_NOW, TVN_SETTIME_MODIFICATION_KEEP,
                       parsed.modification_time)};
    const int fd = open_local(connection, request->local_path1, O_PATH, 0, links_followed(request));
    if (fd < 0) return outcome::refusal(status_of_error(host_call::time_change, errno));
    const bool set = utimensat(fd, "", times, AT_EMPTY_PATH) == 0;
    const int error = errno;
    close(fd);
    if (!set) return outcome::refusal(status_of_error(host_call::time_change, error));
    return plain_answer(connection, TVN_ANSWER_PLAIN, SETTIME, OK, [](uint8_t *) {});
}
