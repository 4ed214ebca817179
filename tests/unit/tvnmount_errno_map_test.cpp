// The server's statuses as the errno values of a local file system.
#include <gtest/gtest.h>

#include <cerrno>

#include "errno_map.h"
#include "tolvane/protocol.h"

namespace {

using tvnmount::errno_of;
using tvnmount::remote_call;

struct mapping {
    std::uint8_t status;
    remote_call call;
    int expected;
};

TEST(tvnmount_errno_map, each_refusal_gets_the_errno_a_local_file_system_gives) {
    const mapping rows[] = {
        {NOT_FOUND, remote_call::open, ENOENT},
        {NOT_FOUND, remote_call::list, ENOENT},
        {ACCESS_DENIED, remote_call::make_directory, EACCES},
        {DIR_NOT_EMPTY, remote_call::remove, ENOTEMPTY},
        {DIR_NOT_EMPTY, remote_call::rename, ENOTEMPTY},
        {FILE_EXISTS, remote_call::open, EEXIST},
        {INVALID_OPENMODE, remote_call::open, EINVAL},
        {NO_MORE_FILEHANDLES, remote_call::open, EMFILE},
        {INVALID_HANDLE, remote_call::read, EBADF},
        {DISK_FULL, remote_call::write, ENOSPC},
        {QUOTA_EXCEDED, remote_call::write, EDQUOT},
        {READONLY_ACCESS, remote_call::open, EROFS},
        {FILE_IS_A_DIR, remote_call::open, EISDIR},
        {WRONG_AUTH, remote_call::list, EACCES},
        {REQUEST_TIMED_OUT, remote_call::read, ETIMEDOUT},
        {INTERNAL_SERVER_ERR, remote_call::list, EIO},
        {NOT_USED, remote_call::open, EIO},
        {200, remote_call::open, EIO},
        // BAD_REQUEST stands for host errors without a status of their own.
        {BAD_REQUEST, remote_call::make_directory, EEXIST},
        {BAD_REQUEST, remote_call::rename, EXDEV},
        {BAD_REQUEST, remote_call::read, EINVAL},
        {BAD_REQUEST, remote_call::write, EINVAL},
        {BAD_REQUEST, remote_call::remove, EPERM},
        {BAD_REQUEST, remote_call::list, EIO},
    };
    for (const mapping &row : rows)
        EXPECT_EQ(errno_of(row.status, row.call), row.expected)
            << "status " << int(row.status) << ", call " << int(row.call);
}

} // namespace
