// Server statuses as errno values.
#include "errno_map.h"

#include <cerrno>

#include "tolvane/protocol.h"

namespace tvnmount {

namespace {

// BAD_REQUEST: the server's word for a host error without a status of its own. MKDIR gets it
// for an existing name (EEXIST); RENAME for a move between file systems (EXDEV), which lets
// mv copy instead; READ and WRITE for a position the host refused (EINVAL); DELETE for what
// the host forbids (EPERM), as does SETTIME. The mount refines MKDIR and RENAME further where it
// can look.
int bad_request_errno(remote_call call) {
    switch (call) {
    case remote_call::make_directory: return EEXIST;
    case remote_call::rename: return EXDEV;
    case remote_call::read:
    case remote_call::write: return EINVAL;
    case remote_call::remove:
    case remote_call::set_times: return EPERM;
    default: return EIO;
    }
}

} // namespace

int errno_of(std::uint8_t status, remote_call call) {
    switch (status) {
    case NOT_FOUND: return ENOENT;
    case ACCESS_DENIED: return EACCES;
    case DIR_NOT_EMPTY: return ENOTEMPTY;
    case FILE_EXISTS: return EEXIST;
    case INVALID_OPENMODE: return EINVAL;
    case NO_MORE_FILEHANDLES: return EMFILE;
    case INVALID_HANDLE: return EBADF;
    // Every failed write is DISK_FULL, a file too large for the host included.
    case DISK_FULL: return ENOSPC;
    case QUOTA_EXCEDED: return EDQUOT;
    case READONLY_ACCESS: return EROFS;
    case FILE_IS_A_DIR: return EISDIR;
    case WRONG_AUTH:
    case AUTH_REQUIRED: return EACCES;
    case REQUEST_TIMED_OUT: return ETIMEDOUT;
    case BAD_REQUEST: return bad_request_errno(call);
    default: return EIO; // INTERNAL_SERVER_ERR, NOT_USED, anything unknown
    }
}

} // namespace tvnmount
