// Positioned reads and writes, and the zero-length write that cuts a file.
#include "file_range.h"

#include <unistd.h>

#include <cerrno>

#include "host_errors.h"
#include "os.h"

namespace {

// A negative offset is refused as positioning the descriptor there would be.
bool negative(int32_t position, range_result *result) {
    if (position >= 0) return false;
    result->status = status_of_error(host_call::position, EINVAL);
    return true;
}

} // namespace

range_result read_range(int fd, uint8_t *buffer, uint32_t length, int32_t position) {
    range_result result;
    if (negative(position, &result)) return result;
    const ssize_t got = pread(fd, buffer, length, position);
    if (got < 0)
        result.status = status_of_error(host_call::read, errno);
    else
        result.count = uint32_t(got);
    return result;
}

range_result put_range(int fd, int32_t position, uint32_t requested, const uint8_t *data,
                       uint32_t available) {
    range_result result;
    if (negative(position, &result)) return result;
    if (requested == 0) {
        if (os_truncate(fd, nullptr, 0, position) != 0)
            result.status = status_of_error(host_call::write, errno);
        return result;
    }
    if (available == 0) return result;
    const ssize_t put = pwrite(fd, data, available, position);
    if (put < 0)
        result.status = status_of_error(host_call::write, errno);
    else
        result.count = uint32_t(put);
    return result;
}
