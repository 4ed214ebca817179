// Host errors as protocol statuses. A symbolic link the session may not follow (ELOOP from the
// resolution of local paths) is refused like any other denial.
#include "host_errors.h"

#include <cerrno>

#include "tolvane/protocol.h"

namespace {

struct error_row {
    host_call call;
    int error;
    uint8_t status;
};

constexpr error_row rows[] = {
    {host_call::open, ENOENT, NOT_FOUND},
    {host_call::open, EEXIST, FILE_EXISTS},
    {host_call::open, EINVAL, INVALID_OPENMODE},
    {host_call::open, EMFILE, NO_MORE_FILEHANDLES},
    {host_call::name_change, ENOENT, NOT_FOUND},
    {host_call::name_change, EBADF, INVALID_HANDLE},
    {host_call::name_change, EACCES, ACCESS_DENIED},
    {host_call::name_change, ELOOP, ACCESS_DENIED},
    {host_call::name_change, ENOSPC, DISK_FULL},
    {host_call::name_change, ENOTEMPTY, DIR_NOT_EMPTY},
    {host_call::time_change, ENOENT, NOT_FOUND},
    {host_call::time_change, ENOTDIR, NOT_FOUND},
    {host_call::time_change, EACCES, ACCESS_DENIED},
    {host_call::time_change, EPERM, ACCESS_DENIED},
    {host_call::time_change, ELOOP, ACCESS_DENIED},
    {host_call::time_change, EROFS, ACCESS_DENIED},
    {host_call::read, EBADF, INVALID_HANDLE},
    {host_call::write, EBADF, INVALID_HANDLE},
    {host_call::position, EBADF, INVALID_HANDLE},
    {host_call::position, EINVAL, BAD_REQUEST},
};

// The status of every error a kind's table does not name.
constexpr uint8_t any_other(host_call call) {
    switch (call) {
    case host_call::open: return ACCESS_DENIED;
    case host_call::name_change: return BAD_REQUEST;
    case host_call::read: return ACCESS_DENIED;
    case host_call::write: return DISK_FULL;
    case host_call::position: return ACCESS_DENIED;
    case host_call::time_change: return BAD_REQUEST;
    }
    return BAD_REQUEST;
}

} // namespace

uint8_t status_of_error(host_call call, int error) {
    for (const error_row &row : rows)
        if (row.call == call && row.error == error) return row.status;
    return any_other(call);
}

uint8_t errno_to_status(int error) { return status_of_error(host_call::name_change, error); }

uint8_t open_errno_to_status(int error) { return status_of_error(host_call::open, error); }
